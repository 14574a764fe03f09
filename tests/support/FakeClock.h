// Simulated time for tests: the calendar clock and the pause of the Clock seam read and advance
// a millisecond counter, so waits of many seconds run instantly and exactly.
#pragma once

#include <cstdint>
#include <ctime>

#include "tftp/Clock.h"

namespace kalvoran::fakes {

class FakeClock final : public Clock {
public:
    // Starts at the given simulated time in milliseconds (by default 1000 s into the epoch,
    // exactly on a second boundary).
    explicit FakeClock(std::int64_t startMilliseconds = 1'000'000) : now(startMilliseconds) {}

    std::time_t Now() override { return static_cast<std::time_t>(now / 1000); }
    std::int64_t NowMilliseconds() override { return now; }
    void Sleep(int milliseconds) override {
        ++sleepCalls;
        sleptMilliseconds += milliseconds > 0 ? milliseconds : 0;
        Advance(milliseconds);
    }

    void Advance(std::int64_t milliseconds) {
        if (milliseconds > 0) {
            now += milliseconds;
        }
    }
    void AdvanceTo(std::int64_t milliseconds) {
        if (milliseconds > now) {
            now = milliseconds;
        }
    }
    std::int64_t Milliseconds() const { return now; }

    int SleepCalls() const { return sleepCalls; }
    std::int64_t SleptMilliseconds() const { return sleptMilliseconds; }

private:
    std::int64_t now;
    int sleepCalls = 0;
    std::int64_t sleptMilliseconds = 0;
};

}  // namespace kalvoran::fakes

// A clock that moves only when the test says so, or by a fixed amount at every reading.
#pragma once

#include <chrono>

#include "delay/DelayClock.h"

namespace kalvoran::delay::test {

class FakeDelayClock final : public DelayClock {
public:
    std::chrono::milliseconds Now() override {
        ++readings;
        const std::chrono::milliseconds reading = now;
        now += stepPerReading;
        return reading;
    }

    void Advance(std::chrono::milliseconds by) { now += by; }
    void SetStepPerReading(std::chrono::milliseconds step) { stepPerReading = step; }
    int Readings() const { return readings; }

private:
    std::chrono::milliseconds now{1'000'000'000};
    std::chrono::milliseconds stepPerReading{0};
    int readings = 0;
};

}  // namespace kalvoran::delay::test

// The clock of the delay wait, behind a seam so that tests run long waits in simulated time.
#pragma once

#include <chrono>

namespace kalvoran::delay {

class DelayClock {
public:
    virtual ~DelayClock() = default;
    // The current time in milliseconds. Only differences between readings matter.
    virtual std::chrono::milliseconds Now() = 0;
};

// The real clock. It is monotonic rather than the calendar clock, so a wall-clock change during
// the wait (time synchronisation, a time-zone fix-up on a service laptop) neither stretches nor
// cuts the wait.
class SystemDelayClock final : public DelayClock {
public:
    std::chrono::milliseconds Now() override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now().time_since_epoch());
    }
};

}  // namespace kalvoran::delay

// The clock of the delay wait, behind a seam so that tests run long waits in simulated time.
#pragma once

#include <ctime>

namespace kalvoran::delay {

class CDelayClock {
public:
    virtual ~CDelayClock() = default;
    // The current time in whole seconds. Only differences between readings matter.
    virtual std::time_t Now() = 0;
    // Milliseconds until Now() next moves on by one second (0 to 1000).
    virtual int MillisecondsToNextSecond() = 0;
};

// The real clock. It counts the seconds of the monotonic clock rather than the calendar clock,
// so a wall-clock change during the wait (time synchronisation, a time-zone fix-up on a service
// laptop) neither stretches nor cuts the wait.
class CSystemDelayClock final : public CDelayClock {
public:
    std::time_t Now() override;
    int MillisecondsToNextSecond() override;
};

}  // namespace kalvoran::delay

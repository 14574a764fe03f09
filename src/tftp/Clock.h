// The calendar clock in whole seconds and the thread pause, behind one seam so that waits of
// many seconds (agent waits, time-outs, pauses between pings) run in simulated time in tests.
#pragma once

#include <ctime>

namespace kalvoran {

class Clock {
public:
    virtual ~Clock() = default;
    // The calendar clock in whole seconds (time()).
    virtual std::time_t Now() = 0;
    // Pause the calling thread (Sleep, in milliseconds).
    virtual void Sleep(int milliseconds) = 0;
};

// The real clock and pause.
class SystemClock final : public Clock {
public:
    std::time_t Now() override;
    void Sleep(int milliseconds) override;
};

}  // namespace kalvoran

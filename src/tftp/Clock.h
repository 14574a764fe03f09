// The clock in whole seconds that every time-out reads, and the thread pause, behind one seam so
// that waits of many seconds (agent waits, time-outs, pauses between pings) run in simulated time
// in tests. The real clock is monotonic: a change of the wall clock neither shortens nor
// stretches a wait.
#pragma once

#include <cstdint>
#include <ctime>

namespace kalvoran {

class Clock {
public:
    virtual ~Clock() = default;
    // Whole seconds on a clock that only moves forward.
    virtual std::time_t Now() = 0;
    // The same clock in milliseconds, for what a second is too coarse for (round trips).
    virtual std::int64_t NowMilliseconds() { return static_cast<std::int64_t>(Now()) * 1000; }
    // Pause the calling thread (Sleep, in milliseconds).
    virtual void Sleep(int milliseconds) = 0;
};

// The system's monotonic clock and the real pause.
class SystemClock final : public Clock {
public:
    std::time_t Now() override;
    std::int64_t NowMilliseconds() override;
    void Sleep(int milliseconds) override;
};

}  // namespace kalvoran

// The arithmetic of the delay wait. Toolkit-free, so it is tested in simulated time.
#pragma once

#include <chrono>
#include <cstdint>

namespace kalvoran::delay {

// The upper end of the bar's range: the wait length in whole seconds, uncut (100000 seconds give
// a range of 0 .. 100000). A wait of 0 seconds or less gets a range of 0 .. 1 and an empty bar,
// since an empty range would turn the bar into a busy animation.
int BarMaximum(std::int32_t seconds);

// One pass of the wait.
struct DelayPass {
    int barPosition = 0;                         // whole seconds elapsed, at most the wait length
    bool finished = false;                       // the wait has lasted the full number of seconds
    std::chrono::milliseconds untilNextStep{0};  // until the next whole second of the wait
};

// The wait, measured from its start on a millisecond clock: it ends once the full number of
// seconds has passed, never earlier. The bar's position is the number of whole seconds elapsed,
// taken from the clock at every pass rather than counted in steps, so after a gap (the window
// held up for several seconds) the bar catches up at once and the wait ends with the bar full.
class DelayCountdown {
public:
    void Start(std::chrono::milliseconds now, std::int32_t seconds);
    DelayPass Advance(std::chrono::milliseconds now) const;

private:
    std::chrono::milliseconds startTime{0};
    std::int32_t seconds = 0;
};

}  // namespace kalvoran::delay

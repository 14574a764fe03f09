#include "delay/DelayCountdown.h"

#include <algorithm>

namespace kalvoran::delay {

using std::chrono::milliseconds;

int BarMaximum(std::int32_t waitSeconds) {
    return std::max(waitSeconds, std::int32_t{1});
}

void DelayCountdown::Start(milliseconds now, std::int32_t waitSeconds) {
    startTime = now;
    seconds = waitSeconds;
}

DelayPass DelayCountdown::Advance(milliseconds now) const {
    // A clock reading before the start (only a simulated clock gives one) counts as the start.
    const milliseconds elapsed = std::max(now - startTime, milliseconds{0});
    const auto wholeSeconds = std::chrono::floor<std::chrono::seconds>(elapsed);
    const std::int64_t length = std::max(seconds, std::int32_t{0});

    DelayPass pass;
    pass.finished = elapsed >= std::chrono::seconds{seconds};
    pass.barPosition = static_cast<int>(std::min<std::int64_t>(wholeSeconds.count(), length));
    pass.untilNextStep = wholeSeconds + std::chrono::seconds{1} - elapsed;
    return pass;
}

}  // namespace kalvoran::delay

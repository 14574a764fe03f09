#include "delay/DelayArguments.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace kalvoran::delay {

DelayCommand ClassifyArguments(int wordCount) {
    if (wordCount <= 1) {
        return DelayCommand::kEndSilently;
    }
    if (wordCount > 2) {
        return DelayCommand::kShowUsage;
    }
    return DelayCommand::kWait;
}

std::int32_t ParseSeconds(const char* argumentText) {
    if (argumentText == nullptr) {
        return 0;
    }
    // The argument is read whole, however long it is: cutting a long argument to a short buffer
    // would turn "000000000005" into 0 seconds, which is not what the caller asked for.
    char* end = nullptr;
    const long value = std::strtol(argumentText, &end, 10);
    const long low = std::numeric_limits<std::int32_t>::min();
    const long high = std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int32_t>(std::clamp(value, low, high));
}

std::string FormatCaption(std::int32_t seconds) {
    char captionText[48];
    std::snprintf(captionText, sizeof captionText, "%s %ld seconds", "Delay",
                  static_cast<long>(seconds));
    return captionText;
}

int BarUpperBound(std::int32_t seconds) {
    return static_cast<int>(static_cast<std::uint32_t>(seconds) & 0xFFFFu);
}

int AdvanceBarPosition(int position, int steps, int upperBound) {
    if (steps <= 0 || position >= upperBound) {
        return std::min(position, std::max(upperBound, 0));
    }
    return steps >= upperBound - position ? upperBound : position + steps;
}

void CDelayCountdown::Start(std::time_t now, std::int32_t seconds) {
    m_startTime = now;
    m_lastStepTime = now;
    m_seconds = seconds;
}

DelayPass CDelayCountdown::Advance(std::time_t now) {
    DelayPass pass;
    if (now > m_lastStepTime) {
        const std::time_t missed = now - m_lastStepTime;
        pass.steps =
            static_cast<int>(std::min<std::time_t>(missed, std::numeric_limits<int>::max()));
        m_lastStepTime = now;
    }
    pass.finished = now - m_startTime >= m_seconds;
    return pass;
}

}  // namespace kalvoran::delay

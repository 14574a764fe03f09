#include "delay/DelayArguments.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace kalvoran::delay {

DelayCommand ClassifyArguments(int wordCount) {
    if (wordCount <= 1) {
        return DelayCommand::EndSilently;
    }
    if (wordCount > 2) {
        return DelayCommand::ShowUsage;
    }
    return DelayCommand::Wait;
}

std::int32_t ParseSeconds(const char* argumentText) {
    if (argumentText == nullptr) {
        return 0;
    }
    // Read whole rather than cut to a short buffer: cutting would turn "000000000005" into 0.
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

}  // namespace kalvoran::delay

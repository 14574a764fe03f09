#include "delay/DelayClock.h"

#include <time.h>

namespace kalvoran::delay {

namespace {

timespec ReadMonotonic() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

}  // namespace

std::time_t CSystemDelayClock::Now() {
    return ReadMonotonic().tv_sec;
}

int CSystemDelayClock::MillisecondsToNextSecond() {
    constexpr long kNanosecondsPerMillisecond = 1'000'000;
    const long elapsedMilliseconds = ReadMonotonic().tv_nsec / kNanosecondsPerMillisecond;
    return static_cast<int>(1000 - elapsedMilliseconds);
}

}  // namespace kalvoran::delay

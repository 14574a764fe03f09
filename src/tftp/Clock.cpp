#include "tftp/Clock.h"

#include <cerrno>
#include <ctime>

namespace kalvoran {

std::time_t SystemClock::Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

std::int64_t SystemClock::NowMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void SystemClock::Sleep(int milliseconds) {
    if (milliseconds <= 0) {
        return;
    }
    timespec remaining{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace kalvoran

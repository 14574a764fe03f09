#include "tftp/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace kalvoran {

namespace {

constexpr std::array kStopSignals = {SIGTERM, SIGINT, SIGHUP};

volatile std::sig_atomic_t gStopped = 0;
volatile std::sig_atomic_t gWakeFd = -1;

void OnStopSignal(int) {
    const int savedErrno = errno;
    gStopped = 1;
    if (gWakeFd >= 0) {
        const char byte = 1;
        // Non-blocking: when the pipe is full the reader has a wake-up waiting already.
        [[maybe_unused]] const ssize_t written = ::write(gWakeFd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals() {
    gStopped = 0;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        readEnd = ends[0];
        gWakeFd = ends[1];
    }
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    ::sigemptyset(&stop.sa_mask);
    // SA_RESTART: a write to the log or a wait of the socket goes on; the pump sees the flag.
    stop.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
        ::sigaction(kStopSignals[i], &stop, &previous[i]);
    }
}

StopSignals::~StopSignals() {
    for (std::size_t i = 0; i < kStopSignals.size(); ++i) {
        ::sigaction(kStopSignals[i], &previous[i], nullptr);
    }
    if (gWakeFd >= 0) {
        ::close(gWakeFd);
        gWakeFd = -1;
    }
    if (readEnd >= 0) {
        ::close(readEnd);
    }
}

bool StopSignals::Take() {
    // Only the flag: a session takes this at every pump, once a packet.
    if (gStopped == 0) {
        return false;
    }
    gStopped = 0;
    return true;
}

void StopSignals::DrainWakeUps() {
    if (readEnd >= 0) {
        char drained[64];
        while (::read(readEnd, drained, sizeof drained) > 0) {
        }
    }
}

}  // namespace kalvoran

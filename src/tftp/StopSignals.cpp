#include "tftp/StopSignals.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace kalvoran {

namespace {

volatile std::sig_atomic_t gCaught = 0;
volatile std::sig_atomic_t gWakeFd = -1;

void OnStopSignal(int) {
    const int savedErrno = errno;
    gCaught = gCaught + 1;
    if (gWakeFd >= 0) {
        const char byte = 1;
        // Non-blocking: when the pipe is full the reader has a wake-up waiting already.
        [[maybe_unused]] const ssize_t written = ::write(gWakeFd, &byte, 1);
    }
    errno = savedErrno;
}

}  // namespace

StopSignals::StopSignals(std::initializer_list<int> stopSignals) {
    gCaught = 0;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) == 0) {
        readEnd = ends[0];
        gWakeFd = ends[1];
    }
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    ::sigemptyset(&stop.sa_mask);
    // SA_RESTART: a write to the log or a wait of the socket goes on; the pump sees the count.
    stop.sa_flags = SA_RESTART;
    sigset_t caughtSet;
    ::sigemptyset(&caughtSet);
    for (const int signal : stopSignals) {
        if (caughtCount < kMostSignals) {
            caught[caughtCount] = signal;
            ::sigaction(signal, &stop, &previous[caughtCount]);
            ::sigaddset(&caughtSet, signal);
            ++caughtCount;
        }
    }
    ::sigprocmask(SIG_UNBLOCK, &caughtSet, nullptr);
}

StopSignals::~StopSignals() {
    for (int i = 0; i < caughtCount; ++i) {
        ::sigaction(caught[i], &previous[i], nullptr);
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
    // Only the count: a session takes this at every pump, once a packet.
    const int count = gCaught;
    if (count == taken) {
        return false;
    }
    taken = count;
    return true;
}

int StopSignals::Count() const {
    return gCaught;
}

void StopSignals::DrainWakeUps() {
    if (readEnd >= 0) {
        char drained[64];
        while (::read(readEnd, drained, sizeof drained) > 0) {
        }
    }
}

}  // namespace kalvoran

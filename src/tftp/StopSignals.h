// SIGTERM, SIGINT and SIGHUP (a script's timeout, Ctrl-C, a closed terminal) asked to end a run.
// The handler only counts the signal and wakes whoever waits on Fd(); the run takes it at its
// next pump (a session pumps after every packet and every wait slice) and ends as the close
// operation does. The client and the fleet both catch them here; the fleet's workers catch
// SIGTERM alone (the terminal's signals reach the fleet, which cancels them).
#pragma once

#include <csignal>
#include <initializer_list>

namespace kalvoran {

class StopSignals {
public:
    static constexpr int kMostSignals = 3;

    // Catches the signals (at most three) for as long as the object lives, then puts back the
    // actions there were. One at a time in a process. Signals blocked in the calling thread are
    // unblocked once they are caught, so that one that came before is taken now.
    explicit StopSignals(std::initializer_list<int> stopSignals = {SIGTERM, SIGINT, SIGHUP});
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // True once for each batch of stop signals caught since the last call (signals that arrive
    // together count as one). No system call: cheap enough for every pump.
    bool Take();
    // How many stop signals have been caught in all: a program that ends at once on a second
    // one counts them.
    int Count() const;
    // Readable after a stop signal: an event loop that sleeps watches it to wake for the signal,
    // and drains it (DrainWakeUps) before it calls Take, so that no wake-up is lost between the
    // two. -1 when no pipe could be made (the signal is then seen at the next pump only).
    int Fd() const { return readEnd; }
    void DrainWakeUps();

private:
    int readEnd = -1;
    int caught[kMostSignals] = {};
    int caughtCount = 0;
    struct sigaction previous[kMostSignals] {};
    int taken = 0;
};

}  // namespace kalvoran

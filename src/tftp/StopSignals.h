// SIGTERM, SIGINT and SIGHUP (a script's timeout, Ctrl-C, a closed terminal) asked to end a run.
// The handler only records the signal and wakes whoever waits on Fd(); the run takes it at its
// next pump (a session pumps after every packet and every wait slice) and ends as the close
// operation does.
#pragma once

#include <csignal>

namespace kalvoran {

class StopSignals {
public:
    // Catches the three signals for as long as the object lives, then puts back the actions
    // there were. One at a time in a process.
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // True once for each stop signal caught since the last call (signals that arrive together
    // count as one). No system call: cheap enough for every pump.
    bool Take();
    // Readable after a stop signal: an event loop that sleeps watches it to wake for the signal,
    // and drains it (DrainWakeUps) before it calls Take, so that no wake-up is lost between the
    // two. -1 when no pipe could be made (the signal is then seen at the next pump only).
    int Fd() const { return readEnd; }
    void DrainWakeUps();

private:
    int readEnd = -1;
    struct sigaction previous[3]{};
};

}  // namespace kalvoran

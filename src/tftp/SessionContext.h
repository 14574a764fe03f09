// What a session runs over: the channel to the agent, the ping service, the clock, the display
// (status log, bar, statistics, boxes, and the window's hooks) and the local file. A session owns
// none of them and keeps its own counters; the driver that runs it hands them in, so one
// context serves one transfer at a time and a second transfer needs a context of its own.
#pragma once

#include <algorithm>

#include "files/LocalFile.h"
#include "net/PingService.h"
#include "tftp/Clock.h"
#include "tftp/StatusDisplay.h"
#include "tftp/TftpChannel.h"

namespace kalvoran {

// Pauses are cut into slices of this length, after each of which the window may repaint.
inline constexpr int kPauseSliceMilliseconds = 20;

// Pauses the thread, letting the window repaint meanwhile.
inline void PauseKeepingWindowAlive(Clock& clock, WaitHooks& hooks, int milliseconds) {
    while (milliseconds > 0) {
        const int slice = std::min(milliseconds, kPauseSliceMilliseconds);
        clock.Sleep(slice);
        milliseconds -= slice;
        hooks.KeepWindowAlive();
    }
}

struct SessionContext {
    TftpChannel& channel;
    net::CPingService& ping;
    Clock& clock;
    StatusDisplay& display;
    CLocalFile& file;
    // The End step of an interactive session waits up to 5 seconds for one late datagram from
    // the agent; a command-line run ends at once.
    bool lateWait = true;

    void Pause(int milliseconds) { PauseKeepingWindowAlive(clock, display, milliseconds); }

    // The session's side of the End step through which every path leaves: the bar to 0, the
    // local file closed and, interactively, the late wait. The completion report is the
    // driver's.
    void EndStep() {
        constexpr int kLateWaitSeconds = 5;
        display.ResetProgress();
        file.Close();
        if (lateWait) {
            channel.WaitForAck(kLateWaitSeconds);
        }
    }
};

}  // namespace kalvoran

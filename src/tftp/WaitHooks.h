// How a waiting session reaches whoever runs it: every wait of a session either pumps (the
// window's messages, so the operator's handlers run nested inside it; without a window, the stop
// signals: either may run the close operation, which raises the cancel flag) or only lets the
// window repaint.
#pragma once

namespace kalvoran {

class WaitHooks {
public:
    virtual ~WaitHooks() = default;
    // Dispatch the window's pending messages; dialog handlers may run inside.
    virtual void PumpMessages() = 0;
    // True when the cancel flag is set (the dialog is being closed).
    virtual bool CancelRequested() const = 0;
    // Let the window repaint without running the operator's input: called while a wait that
    // does not pump goes on.
    virtual void KeepWindowAlive() {}

    // The shape of the ping service's wait callback (its context is the hooks), so that an
    // echo waiting for its reply keeps the window alive through the same door.
    static void KeepWindowAliveOf(void* hooks) {
        static_cast<WaitHooks*>(hooks)->KeepWindowAlive();
    }
};

}  // namespace kalvoran

// The dialog side of a waiting exchange for tests: counts pumps, holds the cancel flag, and can
// run a step inside a pump (as a dialog handler would) to raise the flag or deliver a packet.
#pragma once

#include <functional>
#include <utility>

#include "tftp/WaitHooks.h"

namespace kalvoran::fakes {

class FakeWaitHooks final : public WaitHooks {
public:
    void PumpMessages() override {
        ++pumpCount;
        if (onPump) {
            onPump(pumpCount);
        }
    }
    bool CancelRequested() const override { return cancelFlag == 1; }

    // Called with the number of the pump (1 for the first) inside every PumpMessages.
    void OnPump(std::function<void(int)> step) { onPump = std::move(step); }

    int cancelFlag = 0;
    int pumpCount = 0;

private:
    std::function<void(int)> onPump;
};

}  // namespace kalvoran::fakes

// Before every transfer the agent must answer a ping: a card that is still booting or is being
// reflashed does not answer TFTP either. The wait pings once after every pause, writes each
// ping's line into the status log, and gives up after 20 seconds.
#pragma once

#include "tftp/Outcome.h"
#include "tftp/SessionContext.h"

namespace kalvoran {

// Where the sessions' waits differ.
struct AgentWaitRules {
    int pauseMilliseconds;    // before each ping: 200 before a transfer, 100 before a status read
    bool unansweredPingEnds;  // a status read gives up at the first ping that goes unanswered
};

inline constexpr AgentWaitRules kTransferAgentWait{200, false};
inline constexpr AgentWaitRules kStatusAgentWait{100, true};

enum class AgentWaitResult {
    Answered,    // the session goes on (after 20 s too, when the last ping was answered)
    Unanswered,  // a ping went unanswered and the rules end the wait there
    GaveUp,      // 20 seconds passed without an answer
    Cancelled,   // the window is being closed
};

// Every end but Answered fails the outcome: result code 1 for no answer, 2 for a cancel (nothing
// is started that the operator has abandoned). After 20 seconds "Unable to contact server." is
// logged and the outcome stays failed even when the last ping was answered.
AgentWaitResult WaitForAgent(SessionContext& context, Outcome& outcome,
                             const AgentWaitRules& rules);

}  // namespace kalvoran

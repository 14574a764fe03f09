#include "tftp/AgentWait.h"

#include <cstring>
#include <ctime>

#include "tftp/SessionTexts.h"

namespace kalvoran {

namespace {

constexpr std::time_t kAgentWaitSeconds = 20;
constexpr char kNoResponseText[] = "No response from server";

}  // namespace

AgentWaitResult WaitForAgent(SessionContext& context, Outcome& outcome,
                             const AgentWaitRules& rules) {
    net::CPingService& ping = context.ping;
    StatusDisplay& display = context.display;
    const std::time_t start = context.clock.Now();
    for (;;) {
        context.Pause(rules.pauseMilliseconds);
        ping.Ping();
        const bool answered = ping.replyCount != 0;
        if (context.clock.Now() - start >= kAgentWaitSeconds) {
            display.ReportFailure(kUnableToContactText);
            outcome.Fail(kResultNoPingAnswer, kUnableToContactText);
            outcome.agentSilent = !answered;
            return answered ? AgentWaitResult::Answered : AgentWaitResult::GaveUp;
        }
        display.AppendStatusLine(ping.resultText);
        if (rules.unansweredPingEnds && std::strstr(ping.resultText, kNoResponseText) != nullptr) {
            outcome.Fail(kResultNoPingAnswer, ping.resultText);
            outcome.agentSilent = true;
            return AgentWaitResult::Unanswered;
        }
        display.PumpMessages();
        if (display.CancelRequested()) {
            outcome.Fail(kResultRefused, kCancelledText);
            return AgentWaitResult::Cancelled;
        }
        if (answered) {
            return AgentWaitResult::Answered;
        }
    }
}

}  // namespace kalvoran

#include "tftp/AgentWait.h"

#include <cstring>
#include <ctime>

#include "tftp/TftpClient.h"

namespace kalvoran {

namespace {

constexpr std::time_t kAgentWaitSeconds = 20;
constexpr char kUnableToContactText[] = "Unable to contact server.";
constexpr char kNoResponseText[] = "No response from server";

}  // namespace

AgentWaitResult WaitForAgent(TftpClient& client, const AgentWaitRules& rules) {
    net::CPingService& ping = client.PingService();
    StatusDisplay& display = client.Display();
    const std::time_t start = client.Time().Now();
    for (;;) {
        client.Pause(rules.pauseMilliseconds);
        ping.Ping();
        const bool answered = ping.replyCount != 0;
        if (client.Time().Now() - start >= kAgentWaitSeconds) {
            client.ReportFailure(kUnableToContactText);
            client.Fail(kResultNoPingAnswer);
            return answered ? AgentWaitResult::Answered : AgentWaitResult::GaveUp;
        }
        display.AppendStatusLine(ping.resultText);
        if (rules.unansweredPingEnds && std::strstr(ping.resultText, kNoResponseText) != nullptr) {
            client.Fail(kResultNoPingAnswer);
            return AgentWaitResult::Unanswered;
        }
        display.PumpMessages();
        if (display.CancelRequested()) {
            client.Fail(kResultRefused);
            return AgentWaitResult::Cancelled;
        }
        if (answered) {
            return AgentWaitResult::Answered;
        }
    }
}

}  // namespace kalvoran

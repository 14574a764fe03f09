// Asks the agent how its job went: after a send the agent offers "status.bin", a short text
// describing its current or last job. An attempt waits until the agent answers a ping, reads
// the first DATA block of that file, writes its text into the status log and looks in it for one
// of seven final phrases (case-sensitive). The driver asks again until one of them (or nothing)
// comes, up to 20 times, so that the operator sees the agent's intermediate reports.
//
// Attempt results: 0 no final status yet (asked again); 1 a final status, an empty one, none in
// time, or a ping that went unanswered; 2 "Config file done", the agent's signal that the
// configuration it generates is ready to be fetched.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "tftp/Outcome.h"
#include "tftp/ReceiveLoop.h"
#include "tftp/SessionContext.h"

namespace kalvoran {

class StatusReport final : private BlockSink {
public:
    static constexpr int kNotFinal = 0;
    static constexpr int kFinal = 1;
    static constexpr int kConfigFileDone = 2;

    explicit StatusReport(SessionContext& sessionContext) : context(sessionContext) {}
    StatusReport(const StatusReport&) = delete;
    StatusReport& operator=(const StatusReport&) = delete;

    // One attempt; the outcome's statusResult is the attempt result and statusText the agent's
    // text. The socket must be open and aimed at the agent (the driver's OpenAgentSocket).
    // A transfer that asks for options asks for them in its status reads too.
    Outcome ReadAttempt(const tftp::AskedOptions& asked = {});

    // What a status text says: the verdict of the first final phrase it holds (every front end
    // reads this one table), Empty for an empty text, else NotFinal.
    static StatusVerdict VerdictOf(std::string_view statusText);
    // kFinal or kConfigFileDone for a text that holds a final phrase or is empty, else
    // kNotFinal.
    static int Classify(std::string_view statusText);
    // The status text of a DATA payload: up to its first zero byte.
    static std::string_view TextOf(std::span<const std::uint8_t> payload);
    // The start of the reason of an attempt that got no status text from an agent that answered
    // its ping.
    static constexpr std::string_view kUnavailableText = "Upgrade Status Unavailable: ";

private:
    bool SendRequest();
    Verdict Take(int received, bool& lastBlock) override;
    int BuildRequest() override;
    // Blocks smaller than a status text are gathered until the one that ends it: false while
    // the text goes on (the block is acknowledged), true with the whole text in gathered.
    bool Gather(int received, Verdict& verdict);

    SessionContext& context;
    Outcome outcome;
    OptionNegotiation negotiation;
    std::vector<std::uint8_t> gathered;  // the text of the blocks taken so far, when gathered
    bool errorReported = false;          // an ERROR ended the attempt without the End step
};

}  // namespace kalvoran

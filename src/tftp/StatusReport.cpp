#include "tftp/StatusReport.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "tftp/AgentText.h"
#include "tftp/AgentWait.h"
#include "tftp/SessionTexts.h"

namespace kalvoran {

namespace {

constexpr std::string_view kStatusName = "status.bin";

struct FinalPhrase {
    std::string_view text;
    StatusVerdict verdict;
};
// "Config file done" first: a text that holds it is the agent's signal, whatever else it says.
constexpr std::array<FinalPhrase, 7> kFinalPhrases = {{
    {"Config file done", StatusVerdict::ConfigFileDone},
    {"Memory compare Flash/Ram is OK", StatusVerdict::Ok},
    {"Memory compare Flash/Ram is in error", StatusVerdict::JobFailed},
    {"Unable to create thread", StatusVerdict::JobFailed},
    {"Unable to allocate thread stack", StatusVerdict::JobFailed},
    {"Config done", StatusVerdict::Ok},
    {"Config failed", StatusVerdict::JobFailed},
}};

constexpr int kPauseBeforeEndMilliseconds = 100;
// A status read's bar goes from 0 to full when the agent's text came.
constexpr std::int32_t kStatusSteps = 100;
// The most status data an attempt accepts.
constexpr std::int32_t kStatusSizeLimit = 128;
constexpr int kExchangeTimeoutSeconds = 5;
constexpr ReceiveTimeouts kTimeouts{kExchangeTimeoutSeconds, kExchangeTimeoutSeconds,
                                    kExchangeTimeoutSeconds};

}  // namespace

StatusVerdict StatusReport::VerdictOf(std::string_view statusText) {
    for (const FinalPhrase& phrase : kFinalPhrases) {
        if (statusText.find(phrase.text) != std::string_view::npos) {
            return phrase.verdict;
        }
    }
    return statusText.empty() ? StatusVerdict::Empty : StatusVerdict::NotFinal;
}

int StatusReport::Classify(std::string_view statusText) {
    switch (VerdictOf(statusText)) {
        case StatusVerdict::ConfigFileDone:
            return kConfigFileDone;
        case StatusVerdict::NotFinal:
            return kNotFinal;
        default:
            return kFinal;
    }
}

std::string_view StatusReport::TextOf(std::span<const std::uint8_t> payload) {
    const auto* text = reinterpret_cast<const char*>(payload.data());
    return {text, static_cast<std::size_t>(std::find(payload.begin(), payload.end(), 0) -
                                           payload.begin())};
}

Outcome StatusReport::ReadAttempt(const tftp::AskedOptions& asked) {
    TftpChannel& channel = context.channel;
    outcome = Outcome{};
    negotiation.Start(asked);
    gathered.clear();
    outcome.statusResult = kNotFinal;
    errorReported = false;
    channel.SetBlock(0);
    channel.UseRequestPort();
    context.display.BeginPhase(LinkPhase::Status);

    const AgentWaitResult waited = WaitForAgent(context, outcome, kStatusAgentWait);
    if (waited == AgentWaitResult::Unanswered) {
        outcome.statusResult = kFinal;
    } else if (waited == AgentWaitResult::Answered && SendRequest()) {
        ReceiveBlocks(context, outcome, *this, kTimeouts, negotiation);
    }
    if (errorReported) {
        // The agent's ERROR has been reported in full; the driver writes the completion report.
        outcome.report = true;
        outcome.statusResult = kNotFinal;
        return outcome;
    }
    context.Pause(kPauseBeforeEndMilliseconds);
    context.EndStep();
    outcome.report = outcome.statusResult != kNotFinal;
    return outcome;
}

bool StatusReport::SendRequest() {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    channel.SetRemoteName(kStatusName);
    const int requestLength = BuildRequest();
    display.BeginBlocks(kStatusSteps);
    channel.SetBlock(1);
    if (!SendBuiltRequest(context, outcome, requestLength, kExchangeTimeoutSeconds)) {
        return false;
    }
    channel.ClearDataPayload();
    display.PumpMessages();
    if (display.CancelRequested()) {
        outcome.failed = true;
        return false;
    }
    return true;
}

int StatusReport::BuildRequest() {
    return context.channel.BuildRequest(tftp::kOpRrq, kStatusName, negotiation.ForRequest(), 0);
}

bool StatusReport::Gather(int received, Verdict& verdict) {
    TftpChannel& channel = context.channel;
    const int blockSize = channel.AgreedBlockSize();
    if (received <= 0 || TftpChannel::HoldsError(channel.DataBuffer()) ||
        blockSize >= static_cast<int>(tftp::kBlockSize)) {
        return true;
    }
    const int number = channel.ReceivedBlock();
    const auto taken = static_cast<int>(gathered.size()) / blockSize;
    if (number != taken + 1) {
        channel.SetBlock(taken);
        verdict = number <= taken ? Verdict::Acknowledge : Verdict::Gap;
        return false;
    }
    const auto payload =
        channel.DataPayload().first(static_cast<std::size_t>(received) - tftp::kHeaderSize);
    gathered.insert(gathered.end(), payload.begin(), payload.end());
    if (static_cast<int>(payload.size()) < blockSize ||
        gathered.size() > static_cast<std::size_t>(kStatusSizeLimit)) {
        return true;
    }
    channel.SetBlock(number);
    verdict = Verdict::Accepted;
    return false;
}

BlockSink::Verdict StatusReport::Take(int received, bool& lastBlock) {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    Verdict gathering = Verdict::Accepted;
    if (!Gather(received, gathering)) {
        return gathering;
    }
    const int fullBlockPacket = static_cast<int>(tftp::kHeaderSize) + channel.AgreedBlockSize();
    std::string_view text;
    if (received > 0) {
        text = gathered.empty() ? TextOf(channel.DataPayload().first(
                                      static_cast<std::size_t>(received) - tftp::kHeaderSize))
                                : TextOf(gathered);
    }
    if (received > 0) {
        channel.SetBlock(channel.ReceivedBlock());
    }
    const bool agentError = received > 0 && TftpChannel::HoldsError(channel.DataBuffer());
    // The log shows the agent's control characters as \xNN (one line, no terminal
    // sequences); the outcome and the verdict below keep the text as it came. The text of an
    // ERROR is the agent's reason for refusing the read, never its status.
    if (!agentError) {
        outcome.statusText = text;
    }
    display.AppendStatusLine(EscapeAgentText(text));
    if (received > 0) {
        display.AllDone();
    } else {
        display.AppendStatusLine(kUnavailableText);
        outcome.reason = std::string(kUnavailableText) + channel.ExchangeText();
    }
    if (agentError) {
        // The agent's own error text has gone into the log above.
        display.ShowErrorBox(kServerErrorText);
        display.AppendStatusLine(channel.ExchangeText());
        outcome.reason = channel.ExchangeText();
        errorReported = true;
        return Verdict::Stop;
    }

    outcome.verdict = received > 0 ? VerdictOf(text) : StatusVerdict::None;
    const int classified = Classify(text);
    if (classified != kNotFinal) {
        outcome.Fail(kResultNoPingAnswer, outcome.reason);
        outcome.statusResult = classified;
        return Verdict::Stop;
    }
    outcome.bytesMoved += gathered.empty() ? received - static_cast<int>(tftp::kHeaderSize)
                                           : static_cast<int>(gathered.size());
    if (received != fullBlockPacket) {
        lastBlock = true;
    }
    display.ShowByteCount(outcome.bytesMoved);
    display.PumpMessages();
    if (display.CancelRequested()) {
        outcome.failed = true;
        return Verdict::Stop;
    }
    return outcome.bytesMoved > kStatusSizeLimit ? Verdict::Stop : Verdict::Accepted;
}

}  // namespace kalvoran

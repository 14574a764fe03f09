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
constexpr std::string_view kConfigFileDonePhrase = "Config file done";
constexpr std::array<std::string_view, 7> kFinalPhrases = {
    "Memory compare Flash/Ram is OK",
    "Memory compare Flash/Ram is in error",
    "Unable to create thread",
    "Unable to allocate thread stack",
    "Config done",
    "Config failed",
    kConfigFileDonePhrase,
};

constexpr int kPauseBeforeEndMilliseconds = 100;
// The most status data an attempt accepts.
constexpr std::int32_t kStatusSizeLimit = 128;
constexpr int kExchangeTimeoutSeconds = 5;
constexpr ReceiveTimeouts kTimeouts{kExchangeTimeoutSeconds, kExchangeTimeoutSeconds};
constexpr int kFullBlockPacket = static_cast<int>(tftp::kPacketSize);

}  // namespace

int StatusReport::Classify(std::string_view statusText) {
    if (statusText.find(kConfigFileDonePhrase) != std::string_view::npos) {
        return kConfigFileDone;
    }
    if (statusText.empty()) {
        return kFinal;
    }
    for (std::string_view phrase : kFinalPhrases) {
        if (statusText.find(phrase) != std::string_view::npos) {
            return kFinal;
        }
    }
    return kNotFinal;
}

std::string_view StatusReport::TextOf(std::span<const std::uint8_t> payload) {
    const auto* text = reinterpret_cast<const char*>(payload.data());
    return {text, static_cast<std::size_t>(std::find(payload.begin(), payload.end(), 0) -
                                           payload.begin())};
}

Outcome StatusReport::ReadAttempt() {
    TftpChannel& channel = context.channel;
    outcome = Outcome{};
    outcome.statusResult = kNotFinal;
    errorReported = false;
    channel.SetBlock(0);
    channel.UseRequestPort();

    const AgentWaitResult waited = WaitForAgent(context, outcome, kStatusAgentWait);
    if (waited == AgentWaitResult::Unanswered) {
        outcome.statusResult = kFinal;
    } else if (waited == AgentWaitResult::Answered && SendRequest()) {
        ReceiveBlocks(context, outcome, *this, kTimeouts);
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
    const int requestLength = channel.BuildRequest(tftp::kOpRrq, kStatusName);
    display.SetProgressStep(1);
    display.SetProgressRange(100);
    display.SetProgressPos(0);
    channel.SetBlock(1);
    const int sent = channel.SendPacket(requestLength, kExchangeTimeoutSeconds);
    if (sent <= 0) {
        display.ReportFailure(channel.exchangeText.data());
        outcome.Fail(sent == TftpChannel::kCancelled ? kResultRefused : kResultNetworkFailure,
                     channel.exchangeText.data());
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

BlockSink::Verdict StatusReport::Take(int received, bool& lastBlock) {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    const std::string_view text = received > 0 ? TextOf(channel.DataPayload()) : std::string_view();
    if (received > 0) {
        channel.SetBlock(channel.ReceivedBlock());
    }
    // The log shows the agent's control characters as \xNN (one line, no terminal
    // sequences); the outcome and the classification below keep the text as it came.
    outcome.statusText = text;
    display.AppendStatusLine(EscapeAgentText(text));
    if (received > 0) {
        display.SetProgressPos(100);
    } else {
        display.AppendStatusLine(kUnavailableText);
        outcome.reason = std::string(kUnavailableText) + channel.exchangeText.data();
    }

    const int classified = Classify(text);
    if (classified != kNotFinal) {
        outcome.Fail(kResultNoPingAnswer, outcome.reason);
        outcome.statusResult = classified;
        return Verdict::Stop;
    }
    if (TftpChannel::HoldsError(channel.dataBuffer)) {
        // The agent's own error text has gone into the log above.
        display.ShowErrorBox(kServerErrorText);
        display.AppendStatusLine(channel.exchangeText.data());
        outcome.reason = channel.exchangeText.data();
        errorReported = true;
        return Verdict::Stop;
    }
    outcome.bytesMoved += received == kFullBlockPacket
                              ? static_cast<int>(tftp::kBlockSize)
                              : received - static_cast<int>(tftp::kHeaderSize);
    if (received != kFullBlockPacket) {
        lastBlock = true;
    }
    display.ShowByteCount(outcome.bytesMoved);
    display.PumpMessages();
    if (display.CancelRequested()) {
        outcome.failed = true;
        return Verdict::Stop;
    }
    return outcome.bytesMoved > kStatusSizeLimit ? Verdict::Stop : Verdict::Acknowledge;
}

}  // namespace kalvoran

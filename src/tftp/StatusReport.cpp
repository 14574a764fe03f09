#include "tftp/StatusReport.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "tftp/AgentWait.h"
#include "tftp/SessionTexts.h"
#include "tftp/TftpClient.h"

namespace kalvoran {

namespace {

constexpr std::string_view kGettingStatusText = "Getting Status (if available): ";
constexpr std::string_view kUnavailableText = "Upgrade Status Unavailable: ";
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

constexpr int kAttempts = 20;
constexpr int kPauseBetweenAttemptsMilliseconds = 200;
constexpr int kPauseBeforeEndMilliseconds = 100;
// The most status data an attempt accepts.
constexpr std::int32_t kStatusSizeLimit = 128;
constexpr int kExchangeTimeoutSeconds = 5;
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

int StatusReport::Poll() {
    client.Display().AppendStatusLine(kGettingStatusText);
    int result = kNotFinal;
    for (int attempt = 0; attempt < kAttempts && result == kNotFinal; ++attempt) {
        result = ReadAttempt();
        client.Pause(kPauseBetweenAttemptsMilliseconds);
    }
    client.Display().SetProgressPos(0);
    return result;
}

int StatusReport::ReadAttempt() {
    TftpChannel& channel = client.Channel();
    StatusDisplay& display = client.Display();
    client.resultCode = kResultSuccess;
    channel.block = 0;
    channel.finalBlockSeen = 0;
    client.byteCounter = 0;
    attemptResult = kNotFinal;
    errorReported = false;
    if (!client.OpenAgentSocket()) {
        // The box has been shown; asking again would show it again, 20 times.
        return kFinal;
    }
    channel.requestOpcode = tftp::kOpRrq;
    channel.UseRequestPort();

    Step step = Step::End;
    const AgentWaitResult waited = WaitForAgent(client, kStatusAgentWait);
    if (waited == AgentWaitResult::Unanswered) {
        attemptResult = kFinal;
    } else if (waited == AgentWaitResult::Answered) {
        channel.SetRemoteName(kStatusName);
        const int requestLength = channel.BuildRequest(channel.requestOpcode, kStatusName);
        display.SetProgressStep(1);
        display.SetProgressRange(100);
        display.SetProgressPos(0);
        channel.block = 1;
        const int sent = channel.SendPacket(requestLength, kExchangeTimeoutSeconds);
        if (sent <= 0) {
            client.ReportFailure(channel.exchangeText.data());
            client.Fail(sent == TftpChannel::kCancelled ? kResultRefused : kResultNetworkFailure);
        } else {
            channel.ClearDataPayload();
            display.PumpMessages();
            if (display.CancelRequested()) {
                client.failureFlag = 1;
            } else {
                step = Step::Receive;
            }
        }
    }
    while (step != Step::End) {
        step = step == Step::Receive ? Receive() : Acknowledge();
    }
    if (errorReported) {
        return kNotFinal;
    }
    client.Pause(kPauseBeforeEndMilliseconds);
    client.EndSession(attemptResult != kNotFinal);
    return client.commandLineFlag == 1 ? kNotFinal : attemptResult;
}

StatusReport::Step StatusReport::Receive() {
    TftpChannel& channel = client.Channel();
    StatusDisplay& display = client.Display();
    const int received = channel.ReceiveDataBlock(kExchangeTimeoutSeconds);
    const std::string_view text = received > 0 ? TextOf(channel.DataPayload()) : std::string_view();
    if (received > 0) {
        channel.block = channel.ReceivedBlock();
    }
    display.AppendStatusLine(text);
    if (received > 0) {
        display.SetProgressPos(100);
    } else {
        display.AppendStatusLine(kUnavailableText);
    }

    const int classified = Classify(text);
    if (classified != kNotFinal) {
        client.Fail(kResultNoPingAnswer);
        attemptResult = classified;
        return Step::End;
    }
    if (TftpChannel::HoldsError(channel.dataBuffer)) {
        // The agent's own error text has gone into the log above.
        client.ShowErrorBox(kServerErrorText);
        display.AppendStatusLine(channel.exchangeText.data());
        client.ReportCompletion(true);
        errorReported = true;
        return Step::End;
    }
    client.byteCounter += received == kFullBlockPacket
                              ? static_cast<int>(tftp::kBlockSize)
                              : received - static_cast<int>(tftp::kHeaderSize);
    if (received != kFullBlockPacket) {
        channel.finalBlockSeen = 1;
    }
    display.ShowByteCount(client.byteCounter);
    display.PumpMessages();
    if (display.CancelRequested()) {
        client.failureFlag = 1;
        return Step::End;
    }
    return client.byteCounter > kStatusSizeLimit ? Step::End : Step::Acknowledge;
}

StatusReport::Step StatusReport::Acknowledge() {
    TftpChannel& channel = client.Channel();
    if (channel.SendAck(kExchangeTimeoutSeconds) != static_cast<int>(tftp::kHeaderSize)) {
        client.ShowErrorBox(kAckFailedText);
        client.Fail(kResultNetworkFailure);
        return Step::End;
    }
    return channel.finalBlockSeen != 0 ? Step::End : Step::Receive;
}

}  // namespace kalvoran

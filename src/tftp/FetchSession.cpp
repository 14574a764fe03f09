#include "tftp/FetchSession.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tftp/AgentWait.h"
#include "tftp/SessionTexts.h"
#include "tftp/TftpClient.h"

namespace kalvoran {

namespace {

constexpr char kInvalidFileText[] = "invalid file";
constexpr char kOpenFileText[] = "open file: %s";
constexpr char kGettingText[] = "Getting file: %s as %s";
constexpr char kOutOfSequenceText[] =
    "Block %d out of sequence (expected block %d): transfer stopped.";
constexpr char kNotDataText[] = "Unexpected packet from the agent (opcode %d): transfer stopped.";
constexpr char kTooLongText[] = "The agent sent more than %d bytes: transfer stopped.";
constexpr char kWriteFailedText[] = "File write failed: %s";
constexpr char kSaveFailedText[] = "Unable to save file: %s";
constexpr char kLengthHeader[] = "Len:";

constexpr int kRequestTimeoutSeconds = 5;
constexpr int kDataTimeoutSeconds = 20;
constexpr int kAckTimeoutSeconds = 5;
constexpr int kBlockSize = static_cast<int>(tftp::kBlockSize);

}  // namespace

long FetchSession::AnnouncedLength(std::span<const std::uint8_t> data) {
    // The block read as text: up to its first zero byte, never past the received bytes.
    char text[tftp::kBlockSize + 1] = {};
    const std::size_t length = std::min(data.size(), tftp::kBlockSize);
    if (length > 0) {
        std::memcpy(text, data.data(), length);
    }
    const char* header = std::strstr(text, kLengthHeader);
    if (header == nullptr) {
        return -1;
    }
    return std::strtol(header + std::strlen(kLengthHeader), nullptr, 16);
}

void FetchSession::Run() {
    TftpChannel& channel = client.Channel();
    requestLength = 0;
    client.resultCode = kResultSuccess;
    channel.acceptedBlock = 0;
    channel.block = 0;
    channel.finalBlockSeen = 0;
    client.byteCounter = 0;
    if (!client.OpenAgentSocket()) {
        return;
    }
    channel.requestOpcode = tftp::kOpRrq;
    channel.UseRequestPort();

    Step step = Step::End;
    if (WaitForAgent(client, kTransferAgentWait) == AgentWaitResult::Answered && Prepare()) {
        step = Step::Receive;
        const int sent = channel.SendPacket(requestLength, kRequestTimeoutSeconds);
        if (sent == TftpChannel::kCancelled) {
            step = EndWith(kResultRefused);
        } else if (sent <= 0) {
            step = FailWith(kResultNetworkFailure, channel.exchangeText.data());
        } else {
            client.Display().PumpMessages();
            if (client.Display().CancelRequested()) {
                step = EndWith(kResultRefused);
            }
        }
    }
    while (step != Step::End) {
        step = step == Step::Receive ? Receive() : Acknowledge();
    }
    client.EndSession(true);
}

bool FetchSession::Prepare() {
    TftpChannel& channel = client.Channel();
    StatusDisplay& display = client.Display();
    client.transferType = display.CurrentTransferType();
    const TransferTypeInfo* type = TransferTypeInfoOf(client.transferType);
    if (type == nullptr || type->fetchName.empty()) {
        FailWith(kResultRefused, kWrongTypeText);
        return false;
    }
    channel.SetRemoteName(type->fetchName);
    sizeLimit = type->fetchSizeLimit;

    client.uploadPath = client.View().UploadFileName();
    localPath = client.uploadPath;
    const std::string localName(CLocalFile::FileNameOf(localPath));
    const char* refusal =
        LocalPathRefusal(localPath, localName, type->fetchExtensions, kInvalidFileText);
    if (refusal != nullptr) {
        FailWith(kResultRefused, refusal);
        return false;
    }
    requestLength = channel.BuildRequest(channel.requestOpcode, channel.remoteName.data());

    display.AppendStatusLine(FormatLine(kOpenFileText, localPath.c_str()));
    if (client.LocalFile().OpenReplacement(localPath.c_str()) == CLocalFile::kNoFile) {
        client.ShowErrorBox(FormatLine(kOpenFailedText, localPath.c_str()));
        EndWith(kResultRefused);
        return false;
    }
    client.blockCount = sizeLimit / kBlockSize;
    const int remainder = sizeLimit % kBlockSize;
    char getting[600];
    std::snprintf(getting, sizeof getting, kGettingText, channel.remoteName.data(),
                  localName.c_str());
    display.AppendStatusLine(getting);
    display.SetProgressStep(1);
    display.SetProgressRange(client.blockCount + (remainder != 0 ? 1 : 0));
    display.SetProgressPos(0);
    channel.block = 1;
    return true;
}

FetchSession::Step FetchSession::Receive() {
    TftpChannel& channel = client.Channel();
    StatusDisplay& display = client.Display();
    const int received = channel.ReceiveDataBlock(kDataTimeoutSeconds);
    if (received == TftpChannel::kCancelled) {
        return EndWith(kResultRefused);
    }
    if (received <= 0) {
        return FailWith(kResultNetworkFailure, channel.exchangeText.data());
    }
    if (TftpChannel::HoldsError(channel.dataBuffer)) {
        client.ShowErrorBox(kServerErrorText);
        return FailWith(kResultNetworkFailure, channel.exchangeText.data());
    }
    if (channel.ReceivedOpcode() != tftp::kOpData) {
        return FailWith(kResultNetworkFailure, FormatLine(kNotDataText, channel.ReceivedOpcode()));
    }
    const int number = channel.ReceivedBlock();
    if (channel.acceptedBlock > 0 && number == (channel.acceptedBlock & 0xFFFF)) {
        // Our acknowledgement of that block was lost and the agent sent it again.
        channel.block = channel.acceptedBlock;
        return Step::Acknowledge;
    }
    if (number != ((channel.acceptedBlock + 1) & 0xFFFF)) {
        return FailWith(kResultNetworkFailure, FormatLine(kOutOfSequenceText, number,
                                                          (channel.acceptedBlock + 1) & 0xFFFF));
    }
    channel.block = channel.acceptedBlock + 1;
    channel.acceptedBlock = channel.block;

    const int dataLength = received - static_cast<int>(tftp::kHeaderSize);
    const auto data = std::span(channel.DataPayload()).first(static_cast<std::size_t>(dataLength));
    if (client.transferType == CREATE_CONFIG_FILE && channel.block == 1) {
        // A first block without a (sensible) "Len:" keeps the initial limit.
        const long announced = AnnouncedLength(data);
        if (announced > 0) {
            sizeLimit = static_cast<std::int32_t>(std::min<long>(announced, INT32_MAX));
            client.blockCount = sizeLimit / kBlockSize;
            display.SetProgressRange(client.blockCount - (sizeLimit % kBlockSize == 0 ? 1 : 0));
        }
    }
    client.byteCounter += dataLength;
    if (dataLength < kBlockSize) {
        channel.finalBlockSeen = 1;
    }
    display.ShowByteCount(client.byteCounter);
    if (client.byteCounter > sizeLimit) {
        return FailWith(kResultNetworkFailure,
                        FormatLine(kTooLongText, static_cast<int>(sizeLimit)));
    }
    if (client.LocalFile().Write(data.data(), dataLength, false) != dataLength) {
        return FailWith(kResultRefused, FormatLine(kWriteFailedText, localPath.c_str()));
    }
    display.PumpMessages();
    if (display.CancelRequested()) {
        return EndWith(kResultRefused);
    }
    display.StepProgress();
    return Step::Acknowledge;
}

FetchSession::Step FetchSession::Acknowledge() {
    TftpChannel& channel = client.Channel();
    if (channel.SendAck(kAckTimeoutSeconds) != static_cast<int>(tftp::kHeaderSize)) {
        client.ShowErrorBox(kAckFailedText);
        return EndWith(kResultNetworkFailure);
    }
    if (channel.finalBlockSeen == 0) {
        return Step::Receive;
    }
    if (!client.LocalFile().CommitReplacement()) {
        return FailWith(kResultRefused, FormatLine(kSaveFailedText, localPath.c_str()));
    }
    return Step::End;
}

FetchSession::Step FetchSession::EndWith(int code) {
    client.Fail(code);
    return Step::End;
}

FetchSession::Step FetchSession::FailWith(int code, const std::string& line) {
    client.ReportFailure(line);
    return EndWith(code);
}

}  // namespace kalvoran

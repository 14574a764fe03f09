#include "tftp/SendSession.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tftp/AgentWait.h"
#include "tftp/SessionTexts.h"
#include "tftp/TftpClient.h"

namespace kalvoran {

namespace {

constexpr char kInvalidFileTypeText[] = "Invalid file type!";
constexpr char kEmptyFileText[] = "Empty file: %s";
constexpr char kTooManyBlocksText[] =
    "!! File too big for a TFTP transfer (at most 33553919 bytes) !!: %s";
constexpr char kReadFailedText[] = "File read failed after %d bytes: %s";
constexpr char kSendingText[] = "Sending file: %s as %s";
constexpr char kUnreachableText[] = "Destination Unreachable";

constexpr int kMostMissedAcks = 5;
constexpr int kSendTimeoutSeconds = 2;
constexpr int kAckTimeoutSeconds = 2;
// The last acknowledgement may take the agent longer (it checks the whole file first).
constexpr int kLastAckTimeoutSeconds = 3;
constexpr std::int32_t kBytesPerCounterStep = 8192;
constexpr int kBlocksPerCounterStep = 16;

}  // namespace

void SendSession::Run() {
    TftpChannel& channel = client.Channel();
    channel.block = 0;
    client.resultCode = kResultSuccess;
    missedAcks = 0;
    packetLength = 0;
    channel.UseRequestPort();
    client.byteCounter = 0;

    Phase phase = Phase::End;
    if (WaitForAgent(client, kTransferAgentWait) == AgentWaitResult::Answered && Prepare()) {
        phase = Phase::Send;
    }
    while (phase != Phase::End) {
        switch (phase) {
            case Phase::Send:
                phase = Send();
                break;
            case Phase::Wait:
                phase = Wait();
                break;
            case Phase::NextBlock:
                phase = NextBlock();
                break;
            case Phase::End:
                break;
        }
    }
    client.EndSession(true);
}

bool SendSession::Prepare() {
    TftpChannel& channel = client.Channel();
    StatusDisplay& display = client.Display();
    CLocalFile& file = client.LocalFile();
    channel.requestOpcode = tftp::kOpWrq;
    client.transferType = display.CurrentTransferType();
    const TransferTypeInfo* type = TransferTypeInfoOf(client.transferType);
    if (type == nullptr || type->sendExtensions.empty()) {
        client.ReportFailure(kWrongTypeText);
        EndWith(kResultRefused);
        return false;
    }

    client.downloadPath = client.View().DownloadFileName();
    localPath = client.downloadPath;
    const std::string localName(CLocalFile::FileNameOf(localPath));
    const char* refusal =
        LocalPathRefusal(localPath, localName, type->sendExtensions, kInvalidFileTypeText);
    if (refusal != nullptr) {
        client.ShowErrorBox(refusal);
        EndWith(kResultRefused);
        return false;
    }
    if (!channel.SetRemoteName(type->sendsOwnName ? std::string_view(localName) : type->sendName)) {
        client.ReportFailure(FormatLine(kRemoteNameTooLongText, localName.c_str()));
        EndWith(kResultRefused);
        return false;
    }
    packetLength = channel.BuildRequest(channel.requestOpcode, channel.remoteName.data());

    if (file.Open(localPath.c_str(), CLocalFile::ModeRead) == CLocalFile::kNoFile) {
        client.ShowErrorBox(FormatLine(kOpenFailedText, localPath.c_str()));
        EndWith(kResultRefused);
        return false;
    }
    client.fileLength = file.GetSize(false);
    display.ShowFileLength(client.fileLength);
    if (client.fileLength == 0) {
        client.ReportFailure(FormatLine(kEmptyFileText, localPath.c_str()));
        EndWith(kResultRefused);
        return false;
    }
    std::string tooBig;
    if (type->sendSizeLimit > 0 && client.fileLength > type->sendSizeLimit) {
        tooBig = FormatLine("%s%s", std::string(type->sizeLimitText).c_str(), localPath.c_str());
    } else if (client.fileLength / static_cast<std::int32_t>(tftp::kBlockSize) >= kMostFullBlocks) {
        tooBig = FormatLine(kTooManyBlocksText, localPath.c_str());
    }
    if (!tooBig.empty()) {
        client.ShowErrorBox(tooBig);
        EndWith(kResultRefused);
        return false;
    }

    client.crcText = ReadStoredCrc(file, false);
    display.ShowChecksum(client.crcText.data());
    client.blockCount = client.fileLength / static_cast<std::int32_t>(tftp::kBlockSize);
    remainder = client.fileLength % static_cast<std::int32_t>(tftp::kBlockSize);
    char sending[600];
    std::snprintf(sending, sizeof sending, kSendingText, localName.c_str(),
                  channel.remoteName.data());
    display.AppendStatusLine(sending);
    display.SetProgressStep(1);
    display.SetProgressRange(client.blockCount + (remainder != 0 ? 1 : 0));
    display.SetProgressPos(0);
    aheadStart = aheadEnd = 0;
    unreadBytes = client.fileLength;
    channel.block = 1;
    return true;
}

SendSession::Phase SendSession::Send() {
    TftpChannel& channel = client.Channel();
    if (channel.SendPacket(packetLength, kSendTimeoutSeconds) <= 0) {
        client.ReportFailure(channel.exchangeText.data());
        return EndWith(kResultNetworkFailure);
    }
    client.Display().PumpMessages();
    if (client.Display().CancelRequested()) {
        return EndWith(kResultRefused);
    }
    return Phase::Wait;
}

SendSession::Phase SendSession::Wait() {
    TftpChannel& channel = client.Channel();
    channel.ClearAckBuffer();
    const bool lastAck = channel.block == client.blockCount + 2;
    const int received = channel.WaitForAck(lastAck ? kLastAckTimeoutSeconds : kAckTimeoutSeconds);
    if (TftpChannel::HoldsError(channel.ackBuffer)) {
        client.ShowErrorBox(kServerErrorText);
        client.ReportFailure(channel.exchangeText.data());
        return EndWith(kResultNetworkFailure);
    }
    Phase next = Phase::Send;
    if (received > 0) {
        // An older acknowledgement: the current packet goes again, and that is no miss.
        next = channel.block == channel.ackedBlock + 1 ? Phase::NextBlock : Phase::Send;
    } else if (++missedAcks > kMostMissedAcks) {
        missedAcks = 0;
        client.ShowErrorBox(kUnreachableText);
        client.ReportFailure(channel.exchangeText.data());
        return EndWith(kResultNetworkFailure);
    }
    client.Display().PumpMessages();
    if (client.Display().CancelRequested()) {
        return EndWith(kResultRefused);
    }
    if (received > 0) {
        channel.AdoptTransferPort();
    }
    return next;
}

SendSession::Phase SendSession::NextBlock() {
    TftpChannel& channel = client.Channel();
    StatusDisplay& display = client.Display();
    if (channel.block > client.blockCount + 1) {
        channel.block = 0;
        client.LocalFile().Close();
        client.resultCode = kResultSuccess;
        return Phase::End;
    }
    channel.ClearDataPayload();
    const bool last = channel.block == client.blockCount + 1;
    const std::int32_t count = last ? remainder : static_cast<std::int32_t>(tftp::kBlockSize);
    if (last) {
        // The box moves in steps of 8192 bytes; the last packet brings it to the exact length.
        client.byteCounter += ((channel.block - 1) % kBlocksPerCounterStep) *
                              static_cast<std::int32_t>(tftp::kBlockSize);
        display.ShowByteCount(client.byteCounter);
    }
    if (!ReadBlock(count)) {
        const std::int64_t sent = static_cast<std::int64_t>(channel.block - 1) *
                                  static_cast<std::int64_t>(tftp::kBlockSize);
        client.ReportFailure(
            FormatLine(kReadFailedText, static_cast<int>(sent), localPath.c_str()));
        return EndWith(kResultRefused);
    }
    if (last) {
        client.byteCounter += count;
        display.ShowByteCount(client.byteCounter);
    }
    packetLength = channel.BuildDataPacket(tftp::kOpData, channel.block, count);
    display.StepProgress();
    if (!last && channel.block % kBlocksPerCounterStep == 0) {
        client.byteCounter += kBytesPerCounterStep;
        display.ShowByteCount(client.byteCounter);
    }
    ++channel.block;
    return Phase::Send;
}

bool SendSession::ReadBlock(std::int32_t count) {
    std::uint8_t* payload = client.Channel().DataPayload().data();
    std::size_t filled = 0;
    const auto wanted = static_cast<std::size_t>(count);
    while (filled < wanted) {
        if (aheadStart == aheadEnd) {
            const auto piece =
                static_cast<std::int32_t>(std::min<std::int64_t>(readAhead.size(), unreadBytes));
            const std::int32_t got =
                piece > 0 ? client.LocalFile().Read(readAhead.data(), piece, false) : 0;
            if (got <= 0) {
                return false;
            }
            aheadStart = 0;
            aheadEnd = static_cast<std::size_t>(got);
            unreadBytes -= got;
        }
        const std::size_t take = std::min(wanted - filled, aheadEnd - aheadStart);
        std::memcpy(payload + filled, readAhead.data() + aheadStart, take);
        aheadStart += take;
        filled += take;
    }
    return true;
}

SendSession::Phase SendSession::EndWith(int code) {
    client.Fail(code);
    return Phase::End;
}

}  // namespace kalvoran

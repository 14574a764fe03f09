#include "tftp/SendSession.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tftp/AgentWait.h"
#include "tftp/SessionTexts.h"

namespace kalvoran {

namespace {

constexpr char kInvalidFileTypeText[] = "Invalid file type!";
constexpr char kEmptyFileText[] = "Empty file: %s";
constexpr char kTooManyBlocksText[] =
    "!! File too big for a TFTP transfer (at most 33553919 bytes) !!: %s";
constexpr char kReadFailedText[] = "File read failed after %d bytes: %s";
constexpr char kChangedText[] = "File changed since it was checked: %s: nothing sent in full";
constexpr char kSendingText[] = "Sending file: %s as %s";
constexpr char kUnreachableText[] = "Destination Unreachable";

constexpr int kMostMissedAcks = 5;
constexpr int kSendTimeoutSeconds = 2;
constexpr int kAckTimeoutSeconds = 2;
// The last acknowledgement may take the agent longer (it checks the whole file first).
constexpr int kLastAckTimeoutSeconds = 3;
// The Bytes Sent/Recvd box moves in steps of this many bytes.
constexpr std::int32_t kBytesPerCounterStep = 8192;

}  // namespace

Outcome SendSession::Run(const Transfer& transfer) {
    TftpChannel& channel = context.channel;
    outcome = Outcome{};
    missedAcks = 0;
    resentForOlderAck = false;
    packetLength = 0;
    channel.SetBlock(0);
    channel.UseRequestPort();
    context.display.BeginPhase(LinkPhase::Ping);

    Phase phase = Phase::End;
    if (WaitForAgent(context, outcome, kTransferAgentWait) == AgentWaitResult::Answered &&
        Prepare(transfer)) {
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
    context.EndStep();
    return outcome;
}

SendCheck CheckSend(const Transfer& transfer, CLocalFile& file) {
    using Shown = SendCheck::Shown;
    SendCheck check;
    const auto refuse = [&check](std::string text, Shown shown) {
        check.refusal = std::move(text);
        check.shown = shown;
        return check;
    };
    check.type = TransferTypeInfoOf(transfer.type);
    if (check.type == nullptr || check.type->sendExtensions.empty()) {
        return refuse(kWrongTypeText, Shown::Line);
    }
    if (!ChannelCarries(transfer.options)) {
        return refuse(FormatLine(kUnsupportedOptionsText, transfer.options.asked.blksize,
                                 transfer.options.asked.windowsize),
                      Shown::Line);
    }
    const std::string& path = transfer.localPath;
    check.localName = CLocalFile::FileNameOf(path);
    if (const char* refusal = LocalPathRefusal(path, check.localName, check.type->sendExtensions,
                                               kInvalidFileTypeText)) {
        return refuse(refusal, Shown::Box);
    }
    check.remoteName = check.type->sendsOwnName ? check.localName : check.type->sendName;
    if (check.remoteName.size() >= TftpChannel::kRemoteNameSize ||
        check.remoteName.find('\0') != std::string::npos) {
        return refuse(FormatLine(kRemoteNameTooLongText, check.localName.c_str()), Shown::Line);
    }
    if (file.Open(path.c_str(), CLocalFile::ModeRead) == CLocalFile::kNoFile) {
        return refuse(FormatLine(kOpenFailedText, path.c_str()), Shown::Box);
    }
    const FileResult size = file.GetSize();
    check.lengthReason = size.reason;
    // A file of 2 GiB or more is too big for every type, and has no length a box could show.
    const bool beyond = size.count == CLocalFile::kBeyondTransfer;
    check.fileLength = beyond ? -1 : size.count;
    if (check.fileLength == 0) {
        // The status log shows only the end of the session; a script is told why.
        return refuse(FormatLine(kEmptyFileText, path.c_str()), Shown::FailureLine);
    }
    const std::int64_t length = beyond ? std::int64_t{size.count} + 1 : check.fileLength;
    const auto blockSize = static_cast<std::int32_t>(tftp::kBlockSize);
    if (check.type->sendSizeLimit > 0 && length > check.type->sendSizeLimit) {
        return refuse(
            FormatLine("%s%s", std::string(check.type->sizeLimitText).c_str(), path.c_str()),
            Shown::Box);
    }
    if (length / blockSize >= SendSession::kMostFullBlocks) {
        return refuse(FormatLine(kTooManyBlocksText, path.c_str()), Shown::Box);
    }
    return check;
}

bool SendSession::Prepare(const Transfer& transfer) {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    CLocalFile& file = context.file;
    const SendCheck check = CheckSend(transfer, file);
    if (!check.lengthReason.empty()) {
        display.ShowErrorBox(check.lengthReason);
    }
    if (check.fileLength >= 0) {
        outcome.fileLength = check.fileLength;
        display.ShowFileLength(outcome.fileLength);
    }
    if (!check.refusal.empty()) {
        switch (check.shown) {
            case SendCheck::Shown::Box:
                display.ShowErrorBox(check.refusal);
                break;
            case SendCheck::Shown::Line:
                display.ReportFailure(check.refusal);
                break;
            case SendCheck::Shown::FailureLine:
                display.FailureLine(check.refusal);
                break;
        }
        EndWith(kResultRefused, check.refusal);
        return false;
    }
    blockSize = static_cast<std::int32_t>(tftp::kBlockSize);
    localPath = transfer.localPath;
    expected = transfer.options.expected;
    readHash = Sha256{};
    if (expected && !SameFileAs(file.Descriptor(), *expected)) {
        EndChanged();
        return false;
    }
    channel.SetRemoteName(check.remoteName);
    packetLength = channel.BuildRequest(tftp::kOpWrq, channel.RemoteName());
    const std::string& localName = check.localName;

    const StoredCrc crc = ReadStoredCrc(file);
    if (!crc.reason.empty()) {
        display.ShowErrorBox(crc.reason);
    }
    outcome.storedCrc = crc.text;
    display.ShowChecksum(outcome.storedCrc.data());
    blockCount = outcome.fileLength / blockSize;
    remainder = outcome.fileLength % blockSize;
    char sending[600];
    std::snprintf(sending, sizeof sending, kSendingText, localName.c_str(), channel.RemoteName());
    display.BeginPhase(LinkPhase::Sending);
    display.AppendStatusLine(sending);
    display.BeginBlocks(blockCount + (remainder != 0 ? 1 : 0));
    aheadStart = aheadEnd = 0;
    unreadBytes = outcome.fileLength;
    channel.SetBlock(1);
    blockStart = context.clock.Now();
    return true;
}

SendSession::Phase SendSession::Send() {
    TftpChannel& channel = context.channel;
    if (channel.SendPacket(packetLength, kSendTimeoutSeconds) <= 0) {
        context.display.ReportFailure(channel.ExchangeText());
        return EndWith(kResultNetworkFailure, channel.ExchangeText());
    }
    context.display.PumpMessages();
    if (context.display.CancelRequested()) {
        return EndWith(kResultRefused, kCancelledText);
    }
    return Phase::Wait;
}

SendSession::Phase SendSession::Wait() {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    channel.ClearAckBuffer();
    const bool lastAck = channel.Block() == blockCount + 2;
    const int received = channel.WaitForAck(lastAck ? kLastAckTimeoutSeconds : kAckTimeoutSeconds);
    if (TftpChannel::HoldsError(channel.AckBuffer())) {
        display.ShowErrorBox(kServerErrorText);
        display.ReportFailure(channel.ExchangeText());
        return EndWith(kResultNetworkFailure, channel.ExchangeText());
    }
    Phase next = Phase::Send;
    const int awaited = channel.Block() - 1;
    if (received > 0 && channel.AckedBlock() > awaited) {
        // An acknowledgement of a block not yet sent: nothing to act on, the wait goes on.
        next = Phase::Wait;
    } else if (received > 0 && channel.AckedBlock() == awaited) {
        next = Phase::NextBlock;
    } else if (received > 0) {
        // An older acknowledgement: the current packet goes again, and that is no miss. Once a
        // block: an agent that answers each packet more than once would otherwise have every
        // repeat of its answer resend the packet, and every resend answered again, so that the
        // packets in flight multiply from block to block. Later ones wait for the answer.
        next = resentForOlderAck ? Phase::Wait : Phase::Send;
        resentForOlderAck = true;
    } else if (++missedAcks > kMostMissedAcks) {
        missedAcks = 0;
        display.ShowErrorBox(kUnreachableText);
        display.ReportFailure(channel.ExchangeText());
        return EndWith(kResultNetworkFailure,
                       std::string(kUnreachableText) + " (" + channel.ExchangeText() + ")");
    }
    // However the agent answers, a block may take no longer than the misses of its wait allow.
    const int limit =
        (kMostMissedAcks + 1) * (lastAck ? kLastAckTimeoutSeconds : kAckTimeoutSeconds);
    if (next != Phase::NextBlock && context.clock.Now() - blockStart >= limit) {
        channel.DescribeAckTimeout();
        display.ReportFailure(channel.ExchangeText());
        return EndWith(kResultNetworkFailure, channel.ExchangeText());
    }
    display.PumpMessages();
    if (display.CancelRequested()) {
        return EndWith(kResultRefused, kCancelledText);
    }
    if (received > 0) {
        channel.AdoptTransferPort();
    }
    return next;
}

SendSession::Phase SendSession::NextBlock() {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    const int block = channel.Block();
    if (block > blockCount + 1) {
        channel.SetBlock(0);
        context.file.Close();
        outcome.resultCode = kResultSuccess;
        return Phase::End;
    }
    channel.ClearDataPayload();
    const int blocksPerCounterStep = kBytesPerCounterStep / blockSize;
    const bool last = block == blockCount + 1;
    const std::int32_t count = last ? remainder : blockSize;
    if (last) {
        // The box moves in steps of 8192 bytes; the last packet brings it to the exact length.
        outcome.bytesMoved += ((block - 1) % blocksPerCounterStep) * blockSize;
        display.ShowByteCount(outcome.bytesMoved);
    }
    if (!ReadBlock(count)) {
        const std::int64_t sent =
            static_cast<std::int64_t>(block - 1) * static_cast<std::int64_t>(blockSize);
        const std::string text =
            FormatLine(kReadFailedText, static_cast<int>(sent), localPath.c_str());
        display.ReportFailure(text);
        return EndWith(kResultRefused, text);
    }
    if (last && expected && readHash.Digest() != expected->sha256) {
        return EndChanged();  // the agent never gets the last block
    }
    if (last) {
        outcome.bytesMoved += count;
        display.ShowByteCount(outcome.bytesMoved);
    }
    packetLength = channel.BuildDataPacket(tftp::kOpData, block, count);
    display.BlockDone();
    if (!last && block % blocksPerCounterStep == 0) {
        outcome.bytesMoved += kBytesPerCounterStep;
        display.ShowByteCount(outcome.bytesMoved);
    }
    channel.SetBlock(block + 1);
    blockStart = context.clock.Now();
    resentForOlderAck = false;
    return Phase::Send;
}

bool SendSession::ReadBlock(std::int32_t count) {
    std::uint8_t* payload = context.channel.DataPayload().data();
    std::size_t filled = 0;
    const auto wanted = static_cast<std::size_t>(count);
    while (filled < wanted) {
        if (aheadStart == aheadEnd) {
            const auto piece =
                static_cast<std::int32_t>(std::min<std::int64_t>(readAhead.size(), unreadBytes));
            FileResult got;
            if (piece > 0) {
                got = context.file.Read(readAhead.data(), piece);
            }
            if (!got.reason.empty()) {
                context.display.ShowErrorBox(got.reason);
            }
            if (got.count <= 0) {
                return false;
            }
            if (expected) {
                readHash.Add(std::span(readAhead).first(static_cast<std::size_t>(got.count)));
            }
            aheadStart = 0;
            aheadEnd = static_cast<std::size_t>(got.count);
            unreadBytes -= got.count;
        }
        const std::size_t take = std::min(wanted - filled, aheadEnd - aheadStart);
        std::memcpy(payload + filled, readAhead.data() + aheadStart, take);
        aheadStart += take;
        filled += take;
    }
    return true;
}

SendSession::Phase SendSession::EndChanged() {
    const std::string text = FormatLine(kChangedText, localPath.c_str());
    context.display.ReportFailure(text);
    return EndWith(kResultRefused, text);
}

SendSession::Phase SendSession::EndWith(int code, std::string reason) {
    outcome.Fail(code, std::move(reason));
    return Phase::End;
}

}  // namespace kalvoran

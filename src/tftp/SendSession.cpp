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
constexpr char kTooManyBlocksOfText[] =
    "!! File too big for a TFTP transfer in blocks of %d bytes (at most %lld bytes) !!: %s";
constexpr char kReadFailedText[] = "File read failed after %d bytes: %s";
constexpr char kChangedText[] = "File changed since it was checked: %s: nothing sent in full";
constexpr char kSendingText[] = "Sending file: %s as %s";
constexpr char kUnreachableText[] = "Destination Unreachable";

constexpr int kMostMissedAcks = 5;
// An older acknowledgement this soon after the window went is the echo of a duplicate, however
// short the round trip; an agent's own time-out is longer.
constexpr std::int64_t kEchoFloorMilliseconds = 200;
constexpr std::int64_t kEchoRoundTrips = 4;
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
    requestLength = 0;
    acknowledged = -1;
    built = 0;
    sentUpTo = 0;
    roundTrip = 0;
    negotiation.Start(transfer.options.asked);
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
    if (check.type->sendSizeLimit > 0 && length > check.type->sendSizeLimit) {
        return refuse(
            FormatLine("%s%s", std::string(check.type->sizeLimitText).c_str(), path.c_str()),
            Shown::Box);
    }
    // At the block size asked for: an agent that agrees to less, or ignores it, is told later.
    const std::int32_t asked = transfer.options.asked.blksize;
    const std::string tooMany = TooManyBlocks(length, asked != 0 ? asked : tftp::kBlockSize, path);
    if (!tooMany.empty()) {
        return refuse(tooMany, Shown::Box);
    }
    return check;
}

std::string TooManyBlocks(std::int64_t length, std::int32_t blockSize, const std::string& path) {
    if (length / blockSize < SendSession::kMostFullBlocks) {
        return {};
    }
    if (blockSize == static_cast<std::int32_t>(tftp::kBlockSize)) {
        return FormatLine(kTooManyBlocksText, path.c_str());
    }
    const auto most = static_cast<long long>(SendSession::kMostFullBlocks) * blockSize - 1;
    return FormatLine(kTooManyBlocksOfText, static_cast<int>(blockSize), most, path.c_str());
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
    localPath = transfer.localPath;
    expected = transfer.options.expected;
    readHash = Sha256{};
    if (expected && !SameFileAs(file.Descriptor(), *expected)) {
        EndChanged();
        return false;
    }
    channel.SetRemoteName(check.remoteName);
    BuildRequest();
    const std::string& localName = check.localName;

    const StoredCrc crc = ReadStoredCrc(file);
    if (!crc.reason.empty()) {
        display.ShowErrorBox(crc.reason);
    }
    outcome.storedCrc = crc.text;
    display.ShowChecksum(outcome.storedCrc.data());
    // The plain protocol's blocks until the agent agrees to others.
    UseBlocks(static_cast<std::int32_t>(tftp::kBlockSize), 1);
    char sending[600];
    std::snprintf(sending, sizeof sending, kSendingText, localName.c_str(), channel.RemoteName());
    display.BeginPhase(LinkPhase::Sending);
    display.AppendStatusLine(sending);
    display.BeginBlocks(BlockTotal(outcome.fileLength, blockSize));
    aheadStart = aheadEnd = 0;
    unreadBytes = outcome.fileLength;
    channel.SetBlock(1);
    windowStart = context.clock.Now();
    return true;
}

void SendSession::BuildRequest() {
    TftpChannel& channel = context.channel;
    requestLength = channel.BuildRequest(tftp::kOpWrq, channel.RemoteName(),
                                         negotiation.ForRequest(), outcome.fileLength);
}

void SendSession::UseBlocks(std::int32_t size, int count) {
    blockSize = size;
    window = count;
    lastBlock = outcome.fileLength / blockSize + 1;
    remainder = outcome.fileLength % blockSize;
    windowBlocks.assign(static_cast<std::size_t>(blockSize) * static_cast<std::size_t>(window), 0);
}

bool SendSession::AnsweredWith(std::int32_t size, int count) {
    UseBlocks(size, count);
    context.display.SetBlockTotal(BlockTotal(outcome.fileLength, blockSize));
    acknowledged = 0;  // the answer stands for the acknowledgement of the request
    const std::string tooMany = TooManyBlocks(outcome.fileLength, blockSize, localPath);
    if (tooMany.empty()) {
        return true;
    }
    // The agent has answered the request: it is told why no block comes.
    (void)context.channel.SendError(0, "File too big for the block size");
    context.display.ShowErrorBox(tooMany);
    EndWith(kResultRefused, tooMany);
    return false;
}

SendSession::Phase SendSession::Send() {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    if (acknowledged < 0) {
        if (channel.SendPacket(requestLength, kSendTimeoutSeconds) <= 0) {
            display.ReportFailure(channel.ExchangeText());
            return EndWith(kResultNetworkFailure, channel.ExchangeText());
        }
    } else {
        // The window: every block after the last acknowledged one, as many as it holds.
        const int last = std::min(acknowledged + window, lastBlock);
        std::array<std::span<const std::uint8_t>, tftp::kMaxWindowsize> payloads{};
        const auto count = static_cast<std::size_t>(last - acknowledged);
        for (std::size_t i = 0; i < count; ++i) {
            const int number = acknowledged + 1 + static_cast<int>(i);
            payloads[i] = Slot(number).first(
                static_cast<std::size_t>(slotLengths[static_cast<std::size_t>(number % window)]));
        }
        if (channel.SendDataBlocks(acknowledged + 1, std::span(payloads).first(count),
                                   kSendTimeoutSeconds) <= 0) {
            display.ReportFailure(channel.ExchangeText());
            return EndWith(kResultNetworkFailure, channel.ExchangeText());
        }
        sentAgain = acknowledged + 1 <= sentUpTo;
        sentUpTo = std::max(sentUpTo, last);
        channel.SetBlock(last + 1);
    }
    sentAt = context.clock.NowMilliseconds();
    display.PumpMessages();
    if (display.CancelRequested()) {
        return EndWith(kResultRefused, kCancelledText);
    }
    return Phase::Wait;
}

SendSession::Phase SendSession::Wait() {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    channel.ClearAckBuffer();
    const bool lastAck = channel.Block() == lastBlock + 1;
    const int received = channel.WaitForAck(lastAck ? kLastAckTimeoutSeconds : kAckTimeoutSeconds);
    if (received > 0 && negotiation.Pending()) {
        const auto answer = negotiation.Judge(
            channel, display, channel.AckBuffer().first(static_cast<std::size_t>(received)));
        if (answer != OptionNegotiation::Answer::NotJudged) {
            channel.AdoptTransferPort();
            return Negotiated(answer);
        }
    }
    if (TftpChannel::HoldsError(channel.AckBuffer())) {
        display.ShowErrorBox(kServerErrorText);
        display.ReportFailure(channel.ExchangeText());
        return EndWith(kResultNetworkFailure, channel.ExchangeText());
    }
    Phase next = Phase::Send;
    const int awaited = channel.Block() - 1;  // the last block of the window in flight
    const std::int64_t now = context.clock.NowMilliseconds();
    if (received > 0 && channel.AckedBlock() > awaited) {
        // An acknowledgement of a block not yet sent: nothing to act on, the wait goes on.
        next = Phase::Wait;
    } else if (received > 0 && channel.AckedBlock() > acknowledged) {
        // The window, or a part of it: the next window starts after the block acknowledged.
        if (channel.AckedBlock() == awaited && !sentAgain && acknowledged >= 0) {
            const std::int64_t sample = now - sentAt;
            roundTrip = roundTrip == 0 ? sample : (roundTrip * 7 + sample) / 8;
        }
        acknowledged = channel.AckedBlock();
        next = Phase::NextBlock;
    } else if (received > 0) {
        // An older acknowledgement. Soon after the window went, it is the echo of a duplicated
        // packet: sending again for it would double every later packet. Later, it is the agent
        // asking again after its own time-out: the window goes again at once, and that is no
        // miss.
        next = now - sentAt < EchoWindowMilliseconds() ? Phase::Wait : Phase::Send;
    } else if (++missedAcks > kMostMissedAcks) {
        missedAcks = 0;
        display.ShowErrorBox(kUnreachableText);
        display.ReportFailure(channel.ExchangeText());
        return EndWith(kResultNetworkFailure,
                       std::string(kUnreachableText) + " (" + channel.ExchangeText() + ")");
    }
    // However the agent answers, a window may take no longer than the misses of its wait allow.
    const int limit =
        (kMostMissedAcks + 1) * (lastAck ? kLastAckTimeoutSeconds : kAckTimeoutSeconds);
    if (next != Phase::NextBlock && context.clock.Now() - windowStart >= limit) {
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

SendSession::Phase SendSession::Negotiated(OptionNegotiation::Answer answer) {
    TftpChannel& channel = context.channel;
    if (answer == OptionNegotiation::Answer::AskPlain) {
        BuildRequest();
        channel.UseRequestPort();
        channel.SetBlock(1);
        return Phase::Send;
    }
    // The blocks agreed, or the plain protocol's when the agent ignored the options: a file too
    // big for them is refused now.
    const tftp::Agreement& agreed = channel.Agreed();
    return AnsweredWith(agreed.blksize, agreed.windowsize) ? Phase::NextBlock : Phase::End;
}

std::int64_t SendSession::EchoWindowMilliseconds() const {
    return std::max(kEchoFloorMilliseconds, kEchoRoundTrips * roundTrip);
}

std::span<std::uint8_t> SendSession::Slot(int number) {
    const auto size = static_cast<std::size_t>(blockSize);
    return std::span(windowBlocks).subspan(static_cast<std::size_t>(number % window) * size, size);
}

SendSession::Phase SendSession::NextBlock() {
    StatusDisplay& display = context.display;
    if (acknowledged >= lastBlock) {
        context.channel.SetBlock(0);
        context.file.Close();
        outcome.resultCode = kResultSuccess;
        return Phase::End;
    }
    // Every block the window now holds room for is read in.
    const int last = std::min(acknowledged + window, lastBlock);
    for (int block = built + 1; block <= last; ++block) {
        const bool final = block == lastBlock;
        const std::int32_t count = final ? remainder : blockSize;
        if (final) {
            // The box moves in steps of 8192 bytes; the last packet brings it to the exact
            // length.
            outcome.bytesMoved = static_cast<std::int32_t>(std::int64_t{block - 1} * blockSize);
            display.ShowByteCount(outcome.bytesMoved);
        }
        if (!ReadBlock(block, count)) {
            const std::int64_t sent =
                static_cast<std::int64_t>(block - 1) * static_cast<std::int64_t>(blockSize);
            const std::string text =
                FormatLine(kReadFailedText, static_cast<int>(sent), localPath.c_str());
            display.ReportFailure(text);
            return EndWith(kResultRefused, text);
        }
        if (final && expected && readHash.Digest() != expected->sha256) {
            return EndChanged();  // the agent never gets the last block
        }
        if (final) {
            outcome.bytesMoved = outcome.fileLength;
            display.ShowByteCount(outcome.bytesMoved);
        }
        slotLengths[static_cast<std::size_t>(block % window)] = count;
        built = block;
        display.BlockDone();
        const auto counted = static_cast<std::int32_t>(std::int64_t{block} * blockSize /
                                                       kBytesPerCounterStep * kBytesPerCounterStep);
        if (!final && counted != outcome.bytesMoved) {
            outcome.bytesMoved = counted;
            display.ShowByteCount(outcome.bytesMoved);
        }
    }
    windowStart = context.clock.Now();
    return Phase::Send;
}

bool SendSession::ReadBlock(int number, std::int32_t count) {
    std::uint8_t* payload = Slot(number).data();
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

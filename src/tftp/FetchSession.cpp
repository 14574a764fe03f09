#include "tftp/FetchSession.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "tftp/AgentWait.h"
#include "tftp/SessionTexts.h"

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
constexpr char kAnnouncedTooLongText[] =
    "The agent announced %ld bytes (at most 1048576): transfer stopped.";
constexpr char kTsizeTooLongText[] =
    "The agent announced %lld bytes (at most %d): transfer stopped.";
constexpr char kTooManyBlocksText[] = "The agent sent more than 65535 blocks: transfer stopped.";
// Far above any configuration an agent generates.
constexpr long kMostAnnouncedLength = 1024L * 1024;

constexpr int kRequestTimeoutSeconds = 5;
constexpr ReceiveTimeouts kTimeouts{20, 5, kRequestTimeoutSeconds};
constexpr int kMostBlocks = 65535;

// "File write failed: PATH: No space left on device": the session's own line, then the system's
// reason for it, as a report or a fleet's row shows it.
std::string WithSystemReason(const std::string& line, const std::string& why) {
    return why.empty() ? line : line + ": " + why;
}

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

Outcome FetchSession::Run(const Transfer& transfer) {
    TftpChannel& channel = context.channel;
    outcome = Outcome{};
    requestLength = 0;
    acceptedBlock = 0;
    reacknowledgedAt = -1;
    negotiation.Start(transfer.options.asked);
    channel.SetBlock(0);
    channel.UseRequestPort();
    context.display.BeginPhase(LinkPhase::Ping);

    if (WaitForAgent(context, outcome, kTransferAgentWait) == AgentWaitResult::Answered &&
        Prepare(transfer) && SendRequest() &&
        ReceiveBlocks(context, outcome, *this, kTimeouts, negotiation) &&
        !context.file.CommitReplacement()) {
        StopWithSystemReason(FormatLine(kSaveFailedText, localPath.c_str()),
                             context.file.LastError());
    }
    context.EndStep();
    return outcome;
}

bool FetchSession::Prepare(const Transfer& transfer) {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    transferType = transfer.type;
    const TransferTypeInfo* type = TransferTypeInfoOf(transferType);
    if (type == nullptr || type->fetchName.empty()) {
        StopReporting(kResultRefused, kWrongTypeText);
        return false;
    }
    if (!ChannelCarries(transfer.options)) {
        StopReporting(kResultRefused,
                      FormatLine(kUnsupportedOptionsText, transfer.options.asked.blksize,
                                 transfer.options.asked.windowsize));
        return false;
    }
    channel.SetRemoteName(type->fetchName);
    sizeLimit = type->fetchSizeLimit;

    localPath = transfer.localPath;
    const std::string localName(CLocalFile::FileNameOf(localPath));
    const char* refusal =
        LocalPathRefusal(localPath, localName, type->fetchExtensions, kInvalidFileText);
    if (refusal != nullptr) {
        StopReporting(kResultRefused, refusal);
        return false;
    }
    requestLength = BuildRequest();

    display.AppendStatusLine(FormatLine(kOpenFileText, localPath.c_str()));
    if (context.file.OpenReplacement(localPath.c_str()) == CLocalFile::kNoFile) {
        const std::string text = FormatLine(kOpenFailedText, localPath.c_str());
        // One failure, one box: the session's words, and the system's below them.
        const std::string why = context.file.LastError();
        display.ShowErrorBox(text, why);
        Stop(kResultRefused, WithSystemReason(text, why));
        return false;
    }
    char getting[600];
    std::snprintf(getting, sizeof getting, kGettingText, channel.RemoteName(), localName.c_str());
    display.BeginPhase(LinkPhase::Fetching);
    display.AppendStatusLine(getting);
    // The plain protocol's blocks until the agent agrees to others.
    display.BeginBlocks(BlockTotal(sizeLimit, static_cast<std::int32_t>(tftp::kBlockSize)));
    channel.SetBlock(1);
    return true;
}

bool FetchSession::SendRequest() {
    TftpChannel& channel = context.channel;
    const int sent = channel.SendPacket(requestLength, kRequestTimeoutSeconds);
    if (sent == TftpChannel::kCancelled) {
        Stop(kResultRefused, kCancelledText);
        return false;
    }
    if (sent <= 0) {
        StopReporting(kResultNetworkFailure, channel.ExchangeText());
        return false;
    }
    context.display.PumpMessages();
    if (context.display.CancelRequested()) {
        Stop(kResultRefused, kCancelledText);
        return false;
    }
    acceptedAt = context.clock.Now();
    return true;
}

int FetchSession::BuildRequest() {
    TftpChannel& channel = context.channel;
    return channel.BuildRequest(tftp::kOpRrq, channel.RemoteName(), negotiation.ForRequest(), 0);
}

BlockSink::Verdict FetchSession::Take(int received, bool& lastBlock) {
    TftpChannel& channel = context.channel;
    StatusDisplay& display = context.display;
    if (received == TftpChannel::kCancelled) {
        return Stop(kResultRefused, kCancelledText);
    }
    if (received <= 0) {
        return StopReporting(kResultNetworkFailure, channel.ExchangeText());
    }
    if (TftpChannel::HoldsError(channel.DataBuffer())) {
        display.ShowErrorBox(kServerErrorText);
        return StopReporting(kResultNetworkFailure, channel.ExchangeText());
    }
    if (channel.ReceivedOpcode() != tftp::kOpData) {
        return StopReporting(kResultNetworkFailure,
                             FormatLine(kNotDataText, channel.ReceivedOpcode()));
    }
    const int number = channel.ReceivedBlock();
    const int window = channel.Agreed().windowsize;
    if (window > 1 && number > acceptedBlock + 1) {
        // A block of the window went missing: the agent goes on after the last one taken.
        channel.SetBlock(acceptedBlock);
        return Verdict::Gap;
    }
    if (acceptedBlock > 0 && number <= acceptedBlock && number > acceptedBlock - window) {
        // Our acknowledgement of that block was lost and the agent sent it again; but an agent
        // that only ever repeats it must not hold the fetch open for good.
        channel.SetBlock(acceptedBlock);
        if (context.clock.Now() - acceptedAt >= kTimeouts.dataSeconds) {
            channel.DescribeReceiveTimeout();
            return StopReporting(kResultNetworkFailure, channel.ExchangeText());
        }
        // One acknowledgement again a second at most: an agent that sends each block more than
        // once, and each again for every repeated acknowledgement, would otherwise multiply the
        // blocks in flight from block to block. An agent that resends after its own time-out
        // (a second or more) is answered every time.
        if (reacknowledgedAt == context.clock.Now()) {
            return Verdict::Ignore;
        }
        reacknowledgedAt = context.clock.Now();
        return Verdict::Acknowledge;
    }
    if (acceptedBlock == kMostBlocks) {
        // Block numbers do not roll over: an agent may not follow.
        return StopReporting(kResultNetworkFailure, kTooManyBlocksText);
    }
    if (number != ((acceptedBlock + 1) & 0xFFFF)) {
        return StopReporting(kResultNetworkFailure,
                             FormatLine(kOutOfSequenceText, number, (acceptedBlock + 1) & 0xFFFF));
    }
    ++acceptedBlock;
    acceptedAt = context.clock.Now();
    reacknowledgedAt = -1;
    channel.SetBlock(acceptedBlock);

    const int dataLength = received - static_cast<int>(tftp::kHeaderSize);
    const auto data = std::span(channel.DataPayload()).first(static_cast<std::size_t>(dataLength));
    if (transferType == CREATE_CONFIG_FILE && acceptedBlock == 1) {
        // A first block without a (sensible) "Len:" keeps the initial limit.
        const long announced = AnnouncedLength(data);
        if (announced > kMostAnnouncedLength) {
            return StopReporting(kResultNetworkFailure,
                                 FormatLine(kAnnouncedTooLongText, announced));
        }
        if (announced > 0) {
            sizeLimit = static_cast<std::int32_t>(std::min<long>(announced, INT32_MAX));
            display.SetBlockTotal(BlockTotal(sizeLimit, channel.AgreedBlockSize()) - 1);
        }
    }
    outcome.bytesMoved += dataLength;
    if (dataLength < channel.AgreedBlockSize()) {
        lastBlock = true;
    }
    display.ShowByteCount(outcome.bytesMoved);
    if (outcome.bytesMoved > sizeLimit) {
        return StopReporting(kResultNetworkFailure,
                             FormatLine(kTooLongText, static_cast<int>(sizeLimit)));
    }
    const FileResult written = context.file.Write(data.data(), dataLength);
    if (written.count != dataLength) {
        return StopWithSystemReason(FormatLine(kWriteFailedText, localPath.c_str()),
                                    written.reason);
    }
    display.PumpMessages();
    if (display.CancelRequested()) {
        return Stop(kResultRefused, kCancelledText);
    }
    display.BlockDone();
    return Verdict::Accepted;
}

bool FetchSession::Agreed() {
    const tftp::Agreement& agreed = context.channel.Agreed();
    const std::int32_t blockSize = agreed.blksize;
    // The most this file may hold: a generated configuration may announce up to 1 MiB.
    const std::int32_t most =
        transferType == CREATE_CONFIG_FILE
            ? std::max(sizeLimit, static_cast<std::int32_t>(kMostAnnouncedLength))
            : sizeLimit;
    if (agreed.tsize > most) {
        (void)context.channel.SendError(tftp::kErrorOptionsRefused, "File too large");
        StopReporting(kResultNetworkFailure,
                      FormatLine(kTsizeTooLongText, static_cast<long long>(agreed.tsize),
                                 static_cast<int>(most)));
        return false;
    }
    if (agreed.tsize > sizeLimit) {
        sizeLimit = static_cast<std::int32_t>(agreed.tsize);  // a generated configuration
    }
    const std::int64_t expected = agreed.tsize >= 0 ? agreed.tsize : sizeLimit;
    const std::int64_t blocks = expected / blockSize + 1;
    if (agreed.tsize >= 0 && blocks > kMostBlocks) {
        (void)context.channel.SendError(tftp::kErrorOptionsRefused, "Too many blocks");
        StopReporting(kResultNetworkFailure, kTooManyBlocksText);
        return false;
    }
    context.display.SetBlockTotal(
        std::min<std::int32_t>(BlockTotal(expected, blockSize), kMostBlocks));
    return true;
}

BlockSink::Verdict FetchSession::Stop(int code, std::string reason) {
    outcome.Fail(code, std::move(reason));
    return Verdict::Stop;
}

BlockSink::Verdict FetchSession::StopWithSystemReason(const std::string& line,
                                                      const std::string& why) {
    if (!why.empty()) {
        context.display.ShowErrorBox(why);
    }
    context.display.ReportFailure(line);
    return Stop(kResultRefused, WithSystemReason(line, why));
}

BlockSink::Verdict FetchSession::StopReporting(int code, const std::string& line) {
    context.display.ReportFailure(line);
    return Stop(code, line);
}

}  // namespace kalvoran

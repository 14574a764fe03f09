#include "tftp/TftpChannel.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

namespace kalvoran {

namespace {

constexpr char kSendTimeoutText[] = "Time out on PUT. block: %d";
constexpr char kAckTimeoutText[] = "Time out on ACK. block: %d";
constexpr char kReceiveTimeoutText[] = "Time out on GET. block: %d";
constexpr char kSendAckTimeoutText[] = "Time out on sending ACK.";
constexpr char kAckErrorText[] = "%s: error code: %d msg: %s \r\nerror msg: %s";
constexpr char kDataErrorText[] = "%s: error code: %d msg: %s";
constexpr char kAckText[] = "%d %s: block %d";

// Polls made after the time-out before an exchange gives up: it gives up on the fourth.
constexpr int kLatePollLimit = 3;
// Time-outs above this many seconds keep the window alive and watch the cancel flag.
constexpr int kPumpAboveSeconds = 2;

}  // namespace

TftpChannel::TftpChannel(net::DatagramSocket& socket, Clock& clockSource, WaitHooks& waitHooks)
    : clock(clockSource), hooks(waitHooks), udpSocket(socket) {}

bool TftpChannel::SetRemoteName(std::string_view name) {
    if (name.size() >= kRemoteNameSize || name.find('\0') != std::string_view::npos) {
        return false;
    }
    remoteName.fill('\0');
    std::memcpy(remoteName.data(), name.data(), name.size());
    return true;
}

int TftpChannel::BuildRequest(int opcode, std::string_view name, const tftp::AskedOptions& options,
                              std::int64_t tsizeValue) {
    const char* mode = tftp::TransferModeName(kModeIndex);
    if (mode == nullptr || name.size() >= kRemoteNameSize ||
        name.find('\0') != std::string_view::npos) {
        return 0;
    }
    ForgetTransferPort();
    pendingRequest = opcode;
    discardBeforeSend = true;
    asked = options;
    agreed = tftp::Agreement{};
    return static_cast<int>(tftp::WriteRequestWithOptions(
        std::span(dataBuffer).first(tftp::kPacketSize), opcode, name, mode, options,
        static_cast<std::uint64_t>(std::max<std::int64_t>(tsizeValue, 0))));
}

int TftpChannel::BuildDataPacket(int opcode, int blockNumber, int payloadLength) {
    if (payloadLength < 0 || payloadLength > agreed.blksize) {
        return 0;
    }
    return static_cast<int>(tftp::WriteDataHeader(dataBuffer, opcode, blockNumber,
                                                  static_cast<std::size_t>(payloadLength)));
}

int TftpChannel::SendPacket(int length, int timeoutSeconds) {
    // A request is a plain packet at most; DATA holds a block of the agreed size.
    const int most = static_cast<int>(tftp::kHeaderSize) +
                     std::max(static_cast<int>(tftp::kBlockSize), agreed.blksize);
    if (length < 1 || length > most) {
        lastResult = kTimedOut;
        WriteTimeoutText(Exchange::SendData);
        return lastResult;
    }
    sendLength = static_cast<std::size_t>(length);
    if (discardBeforeSend) {
        discardBeforeSend = false;
        DiscardQueued();
    }
    return Run(Exchange::SendData, timeoutSeconds);
}

int TftpChannel::SendDataBlocks(int firstBlock,
                                std::span<const std::span<const std::uint8_t>> payloads,
                                int timeoutSeconds) {
    constexpr std::size_t kMostBlocks = tftp::kMaxWindowsize;
    const std::size_t count = std::min(payloads.size(), kMostBlocks);
    std::array<std::array<std::uint8_t, tftp::kHeaderSize>, kMostBlocks> headers{};
    std::array<net::DatagramSocket::Gathered, kMostBlocks> batch{};
    for (std::size_t i = 0; i < count; ++i) {
        if (payloads[i].size() > static_cast<std::size_t>(agreed.blksize)) {
            SetBlock(firstBlock + static_cast<int>(i));
            lastResult = kTimedOut;
            WriteTimeoutText(Exchange::SendData);
            return kTimedOut;
        }
        (void)tftp::WriteDataHeader(headers[i], tftp::kOpData, firstBlock + static_cast<int>(i), 0);
        batch[i] = {headers[i], payloads[i]};
    }
    std::size_t done = 0;
    while (done < count) {
        const long taken =
            udpSocket.SendBatch(std::span(batch).subspan(done, count - done), serverAddress);
        if (taken > 0) {
            done += static_cast<std::size_t>(taken);
            SetBlock(firstBlock + static_cast<int>(done) - 1);
            continue;
        }
        // The socket has no room (or failed): this packet waits its turn as any other does.
        const std::span<const std::uint8_t> payload = payloads[done];
        std::ranges::copy(payload, DataPayload().begin());
        SetBlock(firstBlock + static_cast<int>(done));
        const int length = BuildDataPacket(tftp::kOpData, block, static_cast<int>(payload.size()));
        const int sent = SendPacket(length, timeoutSeconds);
        if (sent <= 0) {
            return sent;
        }
        ++done;
    }
    lastResult = static_cast<int>(count);
    return static_cast<int>(count);
}

int TftpChannel::SendError(int code, std::string_view text) {
    std::array<std::uint8_t, tftp::kPacketSize> packet{};
    const std::size_t length = tftp::WriteError(packet, code, text);
    return static_cast<int>(udpSocket.SendTo(std::span(packet).first(length), peerAddress));
}

int TftpChannel::WaitForAck(int timeoutSeconds) {
    return Run(Exchange::ReceiveAck, timeoutSeconds);
}

int TftpChannel::ReceiveDataBlock(int timeoutSeconds) {
    return Run(Exchange::ReceiveData, timeoutSeconds);
}

int TftpChannel::SendAck(int timeoutSeconds) {
    sendLength = tftp::WriteAck(ackBuffer, block);
    return Run(Exchange::SendAck, timeoutSeconds);
}

int TftpChannel::Run(Exchange exchange, int timeoutSeconds) {
    int latePolls = 0;
    lastResult = kTimedOut;
    const bool pumps = timeoutSeconds > kPumpAboveSeconds;
    const std::time_t startTime = clock.Now();
    for (;;) {
        const long call = PollOnce(exchange);
        lastResult = call > 0 ? static_cast<int>(call) : kTimedOut;

        if (pumps) {
            hooks.PumpMessages();
            if (hooks.CancelRequested()) {
                (void)std::snprintf(exchangeText.data(), exchangeText.size(), "%s", kCancelledText);
                return kCancelled;
            }
        }
        if (lastResult > 0) {
            break;
        }

        const std::time_t currentTime = clock.Now();
        if (currentTime - startTime >= timeoutSeconds) {
            ++latePolls;
            if (latePolls > kLatePollLimit) {
                WriteTimeoutText(exchange);
                return lastResult;
            }
        }
        if (!pumps) {
            hooks.KeepWindowAlive();
        }
        WaitBeforeNextPoll(exchange, call);
    }

    const auto length = static_cast<std::size_t>(lastResult);
    if (exchange == Exchange::ReceiveAck) {
        DescribeAck(length);
    } else if (exchange == Exchange::ReceiveData) {
        DescribeData(length);
    }
    return lastResult;
}

long TftpChannel::PollOnce(Exchange exchange) {
    switch (exchange) {
        case Exchange::SendData:
            return udpSocket.SendTo(std::span(dataBuffer).first(sendLength), serverAddress);
        case Exchange::SendAck:
            return udpSocket.SendTo(std::span(ackBuffer).first(sendLength), peerAddress);
        case Exchange::ReceiveAck:
            return TakeDatagram(ackBuffer, kPollSliceMilliseconds);
        case Exchange::ReceiveData:
            return TakeDatagram(dataBuffer, kPollSliceMilliseconds);
    }
    return net::kIoFailed;
}

long TftpChannel::TakeDatagram(std::span<std::uint8_t> target, int waitMilliseconds) {
    net::SocketAddress sender{};
    const long received = udpSocket.AwaitDatagram(receiveScratch, sender, waitMilliseconds);
    if (received < 0) {
        return received;
    }
    auto length = static_cast<std::size_t>(received);
    const std::span<const std::uint8_t> datagram = std::span(receiveScratch).first(length);
    if (!FromAgent(sender) || !tftp::IsWholePacket(datagram) ||
        (transferPort == 0 && !OpensTransfer(datagram))) {
        ++droppedDatagrams;
        return net::kWouldBlock;
    }
    if (tftp::OpcodeOf(datagram) == tftp::kOpError) {
        // An ERROR longer than a plain packet only loses the end of its text.
        length = std::min(length, tftp::kPacketSize);
    } else if (length > tftp::kHeaderSize + static_cast<std::size_t>(agreed.blksize)) {
        // Cut to a packet, an oversize DATA or ACK would pass for a full block: drop it.
        ++droppedDatagrams;
        return net::kWouldBlock;
    }
    std::copy_n(receiveScratch.begin(), length, target.begin());
    peerAddress = sender;
    if (transferPort == 0) {
        transferPort = sender.port;
    }
    return static_cast<long>(length);
}

bool TftpChannel::FromAgent(const net::SocketAddress& sender) const {
    if (sender.address != serverAddress.address) {
        return false;
    }
    return transferPort == 0 || sender.port == transferPort;
}

bool TftpChannel::OpensTransfer(std::span<const std::uint8_t> datagram) const {
    const int opcode = tftp::OpcodeOf(datagram);
    switch (pendingRequest) {
        case tftp::kOpWrq:
            return opcode == tftp::kOpError || (opcode == tftp::kOpOack && asked.Any()) ||
                   (opcode == tftp::kOpAck && tftp::BlockOf(datagram) == 0);
        case tftp::kOpRrq:
            return opcode == tftp::kOpError || (opcode == tftp::kOpOack && asked.Any()) ||
                   (opcode == tftp::kOpData && tftp::BlockOf(datagram) == 1);
        default:
            return true;  // no request built: nothing to tell a late datagram by
    }
}

void TftpChannel::DiscardQueued() {
    // Bounded, so that a flood cannot hold the request back.
    constexpr int kMostDiscarded = 64;
    net::SocketAddress sender{};
    for (int i = 0; i < kMostDiscarded; ++i) {
        if (udpSocket.ReceiveFrom(receiveScratch, sender) < 0) {
            return;
        }
        ++droppedDatagrams;
    }
}

void TftpChannel::WaitBeforeNextPoll(Exchange exchange, long lastCall) {
    const bool sending = exchange == Exchange::SendData || exchange == Exchange::SendAck;
    if (!sending && lastCall != net::kIoFailed) {
        return;  // a receive poll has waited in the receive call itself
    }
    net::Readiness readiness = net::Readiness::Failed;
    if (lastCall != net::kIoFailed) {
        // A send is retried only once the socket has room again.
        readiness = udpSocket.WaitWritable(kPollSliceMilliseconds);
    }
    if (readiness == net::Readiness::Failed) {
        // A socket in error (or closed by the close operation) reports ready at once; pause
        // instead so that the wait does not spin until its time-out.
        clock.Sleep(kPollSliceMilliseconds);
    }
}

void TftpChannel::WriteTimeoutText(Exchange exchange) {
    char* text = exchangeText.data();
    const std::size_t size = exchangeText.size();
    switch (exchange) {
        case Exchange::SendData:
            (void)std::snprintf(text, size, kSendTimeoutText, block);
            break;
        case Exchange::ReceiveAck:
            // The send session advances block before it waits: name the block awaited.
            (void)std::snprintf(text, size, kAckTimeoutText, block - 1);
            break;
        case Exchange::ReceiveData:
            (void)std::snprintf(text, size, kReceiveTimeoutText, block);
            break;
        case Exchange::SendAck:
            (void)std::snprintf(text, size, "%s", kSendAckTimeoutText);
            break;
    }
}

void TftpChannel::DescribeAck(std::size_t length) {
    const std::span<const std::uint8_t> packet = std::span(ackBuffer).first(length);
    const int opcode = tftp::OpcodeOf(packet);
    if (opcode == tftp::kOpError) {
        // The agent's text ends at its zero byte or at the end of the datagram, whichever
        // comes first. Its control characters are shown as \xNN, so that it can neither add
        // lines to the log nor drive the terminal; the template's own line break stays.
        const std::string message = EscapeAgentText(tftp::ErrorTextOf(packet));
        const int code = tftp::ErrorCodeOf(packet);
        (void)std::snprintf(exchangeText.data(), exchangeText.size(), kAckErrorText, "ERROR", code,
                            tftp::ErrorMessage(code), message.data());
        return;
    }
    // An option answer repeated after the agreement stands for the acknowledgement of the
    // request.
    ackedBlock = opcode == tftp::kOpOack && asked.Any() ? 0 : tftp::BlockOf(packet);
    (void)std::snprintf(exchangeText.data(), exchangeText.size(), kAckText, block,
                        tftp::OpcodeName(opcode), ackedBlock);
}

void TftpChannel::DescribeData(std::size_t length) {
    const std::span<const std::uint8_t> packet = std::span(dataBuffer).first(length);
    if (tftp::OpcodeOf(packet) == tftp::kOpError) {
        const int code = tftp::ErrorCodeOf(packet);
        (void)std::snprintf(exchangeText.data(), exchangeText.size(), kDataErrorText, "ACK", code,
                            tftp::ErrorMessage(code));
    }
}

}  // namespace kalvoran

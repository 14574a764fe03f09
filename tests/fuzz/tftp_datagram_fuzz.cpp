// libFuzzer target over everything that reads a datagram from the network: the packet readers
// and the channel's examination of what WaitForAck and ReceiveDataBlock take off the socket.
//
// Input: a sequence of datagrams, each introduced by three bytes: a control byte (bits 0-1 the
// sender: the agent's port 69, its transfer port, another port of the agent, a stranger; bit 2
// the exchange: WaitForAck or ReceiveDataBlock; bit 3 a new request before it, bit 4 a read
// request rather than a write request, bit 5 a request that asks for options, whose OACK, when
// it reads as an agreement, puts that in force for the rounds after it) and a 16-bit length, low
// byte first, cut to what is left of the input. Every datagram is also read as an OACK answering
// a request that asked for what its first two bytes say.
//
// Speed: every exchange runs with a time-out of 0 s on a socket that holds the one datagram of
// its round, so a dropped datagram ends the exchange after its four late polls instead of a
// second of simulated 10 ms slices, and nothing is allocated per poll. The examination of a
// datagram does not depend on the time-out (only waits above 2 s pump the window).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include "FuzzTarget.h"
#include "support/FakeClock.h"
#include "support/FakeWaitHooks.h"
#include "tftp/TftpChannel.h"
#include "tftp/TftpPacket.h"

namespace {

using kalvoran::TftpChannel;
namespace net = kalvoran::net;
namespace tftp = kalvoran::tftp;
namespace fakes = kalvoran::fakes;

using kalvoran::fuzzing::Check;

bool Inside(std::string_view text, std::span<const std::uint8_t> datagram) {
    const auto* begin = reinterpret_cast<const char*>(datagram.data());
    return text.data() >= begin && text.data() + text.size() <= begin + datagram.size();
}

// Holds at most one datagram, handed over (cut to the caller's buffer) on the first receive;
// later receives find nothing and let the clock run the wait they were given.
class OneDatagramSocket final : public net::DatagramSocket {
public:
    explicit OneDatagramSocket(fakes::FakeClock& simulatedClock) : clock(simulatedClock) {}

    void Deliver(const net::SocketAddress& from, std::span<const std::uint8_t> bytes) {
        sender = from;
        pending = bytes;
        queued = true;
    }
    bool Queued() const { return queued; }

    bool Open() override { return true; }
    bool Close() override { return true; }
    bool IsOpen() const override { return true; }
    long SendTo(std::span<const std::uint8_t> bytes, const net::SocketAddress&) override {
        return static_cast<long>(bytes.size());
    }
    long ReceiveFrom(std::span<std::uint8_t> buffer, net::SocketAddress& from) override {
        if (!queued) {
            return net::kWouldBlock;
        }
        queued = false;
        const std::size_t length = std::min(buffer.size(), pending.size());
        std::copy_n(pending.begin(), length, buffer.begin());
        from = sender;
        return static_cast<long>(length);
    }
    long AwaitDatagram(std::span<std::uint8_t> buffer, net::SocketAddress& from,
                       int milliseconds) override {
        if (!queued) {
            clock.Advance(milliseconds);
        }
        return ReceiveFrom(buffer, from);
    }
    net::Readiness WaitReadable(int) override {
        return queued ? net::Readiness::Ready : net::Readiness::TimedOut;
    }
    net::Readiness WaitWritable(int) override { return net::Readiness::Ready; }

private:
    fakes::FakeClock& clock;
    net::SocketAddress sender{};
    std::span<const std::uint8_t> pending;
    bool queued = false;
};

// An OACK reading either agrees within what was asked, or says why not.
void ReadAsOack(std::span<const std::uint8_t> datagram) {
    const tftp::AskedOptions asked{
        datagram.size() > 2 ? 8 + datagram[datagram.size() - 1] * 200 : 0,
        datagram.size() > 3 ? datagram[datagram.size() - 2] % 65 : 0};
    const tftp::OackReading reading = tftp::ReadOack(datagram, asked);
    Check(reading.agreed.has_value() == reading.problem.empty());
    if (reading.agreed) {
        const tftp::Agreement& agreed = *reading.agreed;
        // An option the OACK leaves out is not in force: 512 and 1.
        Check(agreed.blksize == static_cast<int>(tftp::kBlockSize) ||
              (agreed.blksize >= tftp::kMinBlksize && agreed.blksize <= asked.blksize));
        Check(agreed.windowsize == 1 ||
              (agreed.windowsize >= 1 && agreed.windowsize <= asked.windowsize));
        Check(asked.Any() || agreed.tsize == -1);
        Check(tftp::OpcodeOf(datagram) == tftp::kOpOack || datagram.size() < tftp::kHeaderSize);
    }
}

void ReadAsPacket(std::span<const std::uint8_t> datagram) {
    ReadAsOack(datagram);
    const bool whole = tftp::IsWholePacket(datagram);
    Check(whole == (datagram.size() >= tftp::kHeaderSize));
    const int opcode = tftp::OpcodeOf(datagram);
    const int block = tftp::BlockOf(datagram);
    const int code = tftp::ErrorCodeOf(datagram);
    Check(whole ? (opcode >= 0 && opcode <= 255) : opcode == -1);
    Check(whole ? (block >= 0 && block <= 65535) : block == -1);
    Check(whole ? (code >= 0 && code <= 255) : code == -1);
    Check(tftp::OpcodeName(opcode) != nullptr && tftp::ErrorMessage(code) != nullptr);

    const std::string_view text = tftp::ErrorTextOf(datagram);
    if (!text.empty()) {
        Check(Inside(text, datagram));
        Check(text.data() >= reinterpret_cast<const char*>(datagram.data()) + tftp::kHeaderSize);
        Check(std::memchr(text.data(), 0, text.size()) == nullptr);
    }

    std::array<std::uint8_t, 2 * tftp::kPacketSize> rebuilt{};
    if (const auto request = tftp::ParseRequest(datagram)) {
        Check(request->opcode == tftp::kOpRrq || request->opcode == tftp::kOpWrq);
        Check(!request->name.empty() && !request->mode.empty());
        Check(Inside(request->name, datagram) && Inside(request->mode, datagram));
        Check(request->mode.data() + request->mode.size() <
              reinterpret_cast<const char*>(datagram.data()) + datagram.size());
        // Written again, the request is the datagram's opening bytes.
        if (request->name.size() + request->mode.size() + 4 <= rebuilt.size()) {
            const std::size_t length =
                tftp::WriteRequest(rebuilt, request->opcode, request->name, request->mode);
            Check(length == request->name.size() + request->mode.size() + 4);
            Check(length <= datagram.size() &&
                  std::equal(rebuilt.begin(), rebuilt.begin() + static_cast<long>(length),
                             datagram.begin()));
        }
    }
    if (whole) {
        // An ERROR written with this packet's code and text reads back the same.
        const std::size_t length = tftp::WriteError(std::span(rebuilt).first(tftp::kPacketSize),
                                                    tftp::BlockOf(datagram), text);
        const auto packet = std::span<const std::uint8_t>(rebuilt).first(length);
        Check(length >= tftp::kHeaderSize + 1 && length <= tftp::kPacketSize);
        Check(tftp::OpcodeOf(packet) == tftp::kOpError && tftp::BlockOf(packet) == block);
        const std::string_view again = tftp::ErrorTextOf(packet);
        Check(again.size() <= text.size() && text.substr(0, again.size()) == again);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fakes::FakeClock clock;
    OneDatagramSocket socket(clock);
    fakes::FakeWaitHooks hooks;
    TftpChannel channel(socket, clock, hooks);
    const net::SocketAddress agent{0x7F0004FA, 69};
    const net::SocketAddress stranger{0x7F0004FB, 69};
    channel.AimAt(agent);
    channel.SetBlock(1);

    std::size_t at = 0;
    int rounds = 0;
    while (at + 3 <= size && rounds++ < 32) {
        const std::uint8_t control = data[at];
        std::size_t length =
            static_cast<std::size_t>(data[at + 1]) | (static_cast<std::size_t>(data[at + 2]) << 8);
        at += 3;
        if (length > size - at) {
            length = size - at;
        }
        const std::span<const std::uint8_t> datagram(data + at, length);
        at += length;
        ReadAsPacket(datagram);

        if ((control & 0x08) != 0) {
            const tftp::AskedOptions asked =
                (control & 0x20) != 0 ? tftp::AskedOptions{1468, 16} : tftp::AskedOptions{};
            Check(channel.BuildRequest((control & 0x10) != 0 ? tftp::kOpRrq : tftp::kOpWrq,
                                       "status.bin", asked, 4096) > 0);
            Check(channel.AgreedBlockSize() == static_cast<int>(tftp::kBlockSize));
            Check(channel.TransferPort() == 0);
        }
        net::SocketAddress from = agent;
        switch (control & 0x03) {
            case 0:
                break;
            case 1:
                from.port = 4711;
                break;
            case 2:
                from.port = 4712;
                break;
            default:
                from = stranger;
                break;
        }
        socket.Deliver(from, datagram);

        const bool receivingData = (control & 0x04) != 0;
        const auto buffer = receivingData ? channel.DataBuffer() : channel.AckBuffer();
        // What an exchange may write: a packet of the block size in force.
        const auto packetSize = static_cast<std::size_t>(
            tftp::kHeaderSize +
            std::max<std::size_t>(tftp::kBlockSize,
                                  static_cast<std::size_t>(channel.AgreedBlockSize())));
        static std::array<std::uint8_t, tftp::kLargestPacket> before{};
        std::copy_n(buffer.begin(), packetSize, before.begin());
        const net::SocketAddress peerBefore = channel.Peer();
        const std::uint16_t pinnedBefore = channel.TransferPort();
        const int ackedBefore = channel.AckedBlock();
        const int dropped = channel.DroppedDatagrams();

        const int result = receivingData ? channel.ReceiveDataBlock(0) : channel.WaitForAck(0);
        Check(!socket.Queued());
        Check(result == -1 || (result >= 4 && result <= static_cast<int>(packetSize)));
        Check((result == -1) == (channel.DroppedDatagrams() == dropped + 1));
        Check(std::memchr(channel.ExchangeText(), 0, TftpChannel::kExchangeTextSize) != nullptr);
        Check(channel.AckedBlock() >= 0 && channel.AckedBlock() <= 65535);
        if (result > 0) {
            // Taken: from the agent, on the pinned port if one was, whole, and copied as it came
            // (an ERROR cut to a packet, anything else never longer than one).
            const bool error = tftp::OpcodeOf(datagram) == tftp::kOpError;
            Check(from.address == agent.address);
            Check(pinnedBefore == 0 || from.port == pinnedBefore);
            Check(channel.Peer() == from && channel.TransferPort() == from.port);
            Check(datagram.size() >= tftp::kHeaderSize);
            Check(error ? static_cast<std::size_t>(result) ==
                              std::min(datagram.size(), tftp::kPacketSize)
                        : static_cast<std::size_t>(result) == datagram.size());
            Check(std::equal(datagram.begin(), datagram.begin() + result, buffer.begin()));
            const bool oack = tftp::OpcodeOf(datagram) == tftp::kOpOack && channel.Asked().Any();
            if (!receivingData && !error) {
                Check(channel.AckedBlock() == (oack ? 0 : tftp::BlockOf(datagram)));
            } else {
                Check(channel.AckedBlock() == ackedBefore);
            }
            if (oack) {
                const tftp::OackReading reading = tftp::ReadOack(
                    std::span(buffer).first(static_cast<std::size_t>(result)), channel.Asked());
                if (reading.agreed) {
                    channel.Agree(*reading.agreed);  // larger blocks from the next round on
                }
            }
        } else {
            // Dropped: nothing the sessions read has changed.
            Check(std::equal(buffer.begin(), buffer.begin() + static_cast<long>(packetSize),
                             before.begin()));
            Check(channel.Peer() == peerBefore && channel.TransferPort() == pinnedBefore);
            Check(channel.AckedBlock() == ackedBefore);
        }
    }
    return 0;
}

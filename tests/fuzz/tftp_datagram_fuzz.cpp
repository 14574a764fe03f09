// libFuzzer target over everything that reads a datagram from the network: the packet readers
// and the channel's examination of what WaitForAck and ReceiveDataBlock take off the socket.
//
// Input: a sequence of datagrams, each introduced by three bytes: a control byte (bits 0-1 the
// sender: the agent's port 69, its transfer port, another port of the agent, a stranger; bit 2
// the exchange: WaitForAck or ReceiveDataBlock; bit 3 a new request before it) and a 16-bit
// length, low byte first, cut to what is left of the input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "support/FakeClock.h"
#include "support/FakeDatagramSocket.h"
#include "support/FakeWaitHooks.h"
#include "tftp/TftpChannel.h"
#include "tftp/TftpPacket.h"

namespace {

using kalvoran::TftpChannel;
namespace tftp = kalvoran::tftp;
namespace fakes = kalvoran::fakes;

void Check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void ReadAsPacket(std::span<const std::uint8_t> datagram) {
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
        Check(text.data() >= reinterpret_cast<const char*>(datagram.data()) + tftp::kHeaderSize);
        Check(text.data() + text.size() <=
              reinterpret_cast<const char*>(datagram.data()) + datagram.size());
        Check(std::memchr(text.data(), 0, text.size()) == nullptr);
    }
    if (const auto request = tftp::ParseRequest(datagram)) {
        Check(!request->name.empty() && !request->mode.empty());
        Check(request->mode.data() + request->mode.size() <
              reinterpret_cast<const char*>(datagram.data()) + datagram.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fakes::FakeClock clock;
    fakes::FakeDatagramSocket socket(clock);
    fakes::FakeWaitHooks hooks;
    TftpChannel channel(socket, clock, hooks);
    const kalvoran::net::SocketAddress agent{fakes::Ipv4(127, 0, 4, 250), 69};
    channel.serverAddress = agent;
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
            channel.BuildRequest(tftp::kOpRrq, "status.bin");
        }
        kalvoran::net::SocketAddress from = agent;
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
                from.address = fakes::Ipv4(127, 0, 4, 251);
                break;
        }
        socket.Deliver(from, std::vector<std::uint8_t>(datagram.begin(), datagram.end()));

        const int dropped = channel.DroppedDatagrams();
        const int result =
            (control & 0x04) != 0 ? channel.ReceiveDataBlock(1) : channel.WaitForAck(1);
        Check(result == -1 || (result >= 4 && result <= static_cast<int>(tftp::kPacketSize)));
        Check((result == -1) == (channel.DroppedDatagrams() == dropped + 1));
        Check(std::memchr(channel.exchangeText.data(), 0, channel.exchangeText.size()) != nullptr);
        Check(channel.AckedBlock() >= 0 && channel.AckedBlock() <= 65535);
        if (result > 0) {
            Check(channel.peerAddress.address == agent.address);
            Check(channel.TransferPort() == channel.peerAddress.port);
        }
    }
    return 0;
}

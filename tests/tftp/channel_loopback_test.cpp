// TftpChannel on a real UDP socket over loopback, with the real clock: a scripted agent answers
// from its transfer port, strangers are ignored, and the close operation in the middle of a wait
// ends it without closing anything twice. Each case uses its own 127.0.4.x addresses.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "net/Addressing.h"
#include "net/UdpEndpoint.h"
#include "support/BoundEndpoint.h"
#include "support/FakeWaitHooks.h"
#include "tftp/Clock.h"
#include "tftp/TftpChannel.h"

namespace kalvoran {
namespace {

using Bytes = std::vector<std::uint8_t>;
using net::Readiness;
using net::SocketAddress;
using net::UdpEndpoint;
using testing::Loopback;
using testing::OpenBound;

// What a peer socket received: bytes and sender, or nothing within a second.
struct Received {
    Bytes bytes;
    SocketAddress from;
};
Received ReceiveOne(UdpEndpoint& peer) {
    std::array<std::uint8_t, 1024> buffer{};
    Received received;
    if (peer.WaitReadable(1000) == Readiness::Ready) {
        const long length = peer.ReceiveFrom(buffer, received.from);
        if (length >= 0) {
            received.bytes.assign(buffer.begin(), buffer.begin() + length);
        }
    }
    return received;
}

class ChannelLoopbackTest : public ::testing::Test {
protected:
    SystemClock clock;
    fakes::FakeWaitHooks hooks;
    UdpEndpoint endpoint;
    TftpChannel channel{endpoint, clock, hooks};
};

TEST_F(ChannelLoopbackTest, request_answeredFromTransferPort_isPinnedAndAcknowledgedThere) {
    UdpEndpoint agent;
    UdpEndpoint transfer;
    OpenBound(endpoint, Loopback(100));
    OpenBound(agent, Loopback(101));
    OpenBound(transfer, Loopback(101));
    channel.AimAt(agent.LocalAddress());

    const int length = channel.BuildRequest(1, "eeprom.bin");
    ASSERT_EQ(channel.SendPacket(length, 5), length);
    const Received request = ReceiveOne(agent);
    EXPECT_EQ(request.bytes,
              Bytes(channel.DataBuffer().begin(), channel.DataBuffer().begin() + length));
    EXPECT_EQ(request.from, endpoint.LocalAddress());

    const Bytes data = {0x00, 0x03, 0x00, 0x01, 'e', 'e'};
    ASSERT_EQ(transfer.SendTo(data, request.from), 6);
    ASSERT_EQ(channel.ReceiveDataBlock(5), 6);
    EXPECT_EQ(channel.Peer(), transfer.LocalAddress());
    EXPECT_EQ(channel.TransferPort(), transfer.LocalAddress().port);

    channel.SetBlock(1);
    ASSERT_EQ(channel.SendAck(5), 4);
    EXPECT_EQ(ReceiveOne(transfer).bytes, (Bytes{0x00, 0x04, 0x00, 0x01}));
}

TEST_F(ChannelLoopbackTest, strangersAndSecondPort_areIgnored_agentIsTaken) {
    UdpEndpoint transfer;
    UdpEndpoint secondPort;
    UdpEndpoint stranger;
    OpenBound(endpoint, Loopback(102));
    OpenBound(transfer, Loopback(103));
    OpenBound(secondPort, Loopback(103));
    OpenBound(stranger, Loopback(104));
    channel.AimAt(SocketAddress{Loopback(103).address, 69});
    channel.BuildRequest(2, "image.bin");

    // The first answer pins the transfer port.
    ASSERT_EQ(transfer.SendTo(Bytes{0x00, 0x04, 0x00, 0x00}, endpoint.LocalAddress()), 4);
    ASSERT_EQ(channel.WaitForAck(2), 4);

    ASSERT_EQ(stranger.SendTo(Bytes{0x00, 0x05, 0x00, 0x02, 'n', 'o', 0}, endpoint.LocalAddress()),
              7);
    ASSERT_EQ(secondPort.SendTo(Bytes{0x00, 0x04, 0x00, 0x07}, endpoint.LocalAddress()), 4);
    ASSERT_EQ(transfer.SendTo(Bytes{0x00, 0x04, 0x00, 0x01}, endpoint.LocalAddress()), 4);
    channel.SetBlock(2);
    EXPECT_EQ(channel.WaitForAck(3), 4);
    EXPECT_EQ(std::string(channel.ExchangeText()), "2 ACK: block 1");
    EXPECT_EQ(channel.Peer(), transfer.LocalAddress());
    EXPECT_EQ(channel.DroppedDatagrams(), 2);
}

TEST_F(ChannelLoopbackTest, closeOperationDuringWait_cancels_andSessionEndClosesNothingTwice) {
    OpenBound(endpoint, Loopback(105));
    channel.AimAt(Loopback(106));
    hooks.OnPump([&](int pump) {
        if (pump == 3) {  // the operator closes the dialog
            endpoint.Close();
            hooks.cancelFlag = 1;
        }
    });
    EXPECT_EQ(channel.WaitForAck(5), -2);
    EXPECT_EQ(std::string(channel.ExchangeText()), "Cancelled.");
    EXPECT_EQ(hooks.pumpCount, 3);

    // The session's End step: its late wait and the wind-up's close find the socket closed.
    EXPECT_EQ(channel.WaitForAck(5), -2);
    EXPECT_FALSE(endpoint.Close());
}

}  // namespace
}  // namespace kalvoran

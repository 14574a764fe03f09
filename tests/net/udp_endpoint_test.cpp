// The UDP endpoint on loopback: a close-on-exec IPv4 socket whose calls never block (but for a
// bounded await), whose close is safe to repeat, and the send, receive and wait operations the
// TFTP exchanges build on. Each case uses
// its own 127.0.4.x address.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "net/Addressing.h"
#include "net/UdpEndpoint.h"
#include "support/BoundEndpoint.h"

namespace kalvoran::net {
namespace {

using kalvoran::testing::Loopback;
using kalvoran::testing::OpenBound;

TEST(UdpEndpoint, open_isClosedOnExec_andKeptWhenOpenAgain) {
    UdpEndpoint endpoint;
    EXPECT_FALSE(endpoint.IsOpen());
    ASSERT_TRUE(endpoint.Open());
    const int descriptor = endpoint.Descriptor();
    EXPECT_NE(fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_TRUE(endpoint.Open());
    EXPECT_EQ(endpoint.Descriptor(), descriptor);
}

TEST(UdpEndpoint, closeTwice_neverClosesAReusedDescriptor) {
    auto endpoint = std::make_unique<UdpEndpoint>();
    ASSERT_TRUE(endpoint->Open());
    const int descriptor = endpoint->Descriptor();
    EXPECT_TRUE(endpoint->Close());
    EXPECT_FALSE(endpoint->IsOpen());

    // The lowest free number goes to the next open file: the one just released.
    const int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(other, descriptor);
    EXPECT_FALSE(endpoint->Close());
    endpoint.reset();  // the destructor must not close it either
    EXPECT_NE(fcntl(other, F_GETFD), -1) << "someone else's descriptor was closed";
    ::close(other);
}

TEST(UdpEndpoint, closedEndpoint_failsCallsWithoutTouchingTheSystem) {
    UdpEndpoint endpoint;
    std::array<std::uint8_t, 4> bytes{};
    SocketAddress from = Loopback(3, 9);
    EXPECT_EQ(endpoint.SendTo(bytes, Loopback(3, 9)), kIoFailed);
    EXPECT_EQ(endpoint.ReceiveFrom(bytes, from), kIoFailed);
    EXPECT_EQ(from, Loopback(3, 9));
    EXPECT_EQ(endpoint.WaitReadable(1000), Readiness::Failed);
    EXPECT_EQ(endpoint.WaitWritable(1000), Readiness::Failed);
    EXPECT_FALSE(endpoint.Bind(Loopback(3)));
    EXPECT_EQ(endpoint.LocalAddress(), SocketAddress{});
}

TEST(UdpEndpoint, sendAndReceive_onLoopback_reportSenderAndBytes) {
    UdpEndpoint client;
    UdpEndpoint agent;
    OpenBound(client, Loopback(4));
    OpenBound(agent, Loopback(4));

    const std::vector<std::uint8_t> request = {0, 1, 's', 0, 'o', 'c', 't', 'e', 't', 0};
    ASSERT_EQ(client.SendTo(request, agent.LocalAddress()), static_cast<long>(request.size()));
    ASSERT_EQ(agent.WaitReadable(1000), Readiness::Ready);

    std::array<std::uint8_t, 516> buffer{};
    SocketAddress from{};
    ASSERT_EQ(agent.ReceiveFrom(buffer, from), static_cast<long>(request.size()));
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + request.size()), request);
    EXPECT_EQ(from, client.LocalAddress());
}

// A window of blocks in one call: each datagram whole (its head, then its body), in order.
TEST(UdpEndpoint, sendBatch_gathersEachDatagramAndKeepsTheirOrder) {
    UdpEndpoint client;
    UdpEndpoint agent;
    OpenBound(client, Loopback(4));
    OpenBound(agent, Loopback(4));
    const std::vector<std::uint8_t> heads = {0, 3, 0, 1, 0, 3, 0, 2, 0, 3, 0, 3};
    const std::vector<std::uint8_t> body(1468, 0xA5);
    const std::span<const std::uint8_t> all(heads);
    const std::vector<UdpEndpoint::Gathered> batch = {{all.subspan(0, 4), body},
                                                      {all.subspan(4, 4), std::span(body).first(7)},
                                                      {all.subspan(8, 4), {}}};
    ASSERT_EQ(client.SendBatch(batch, agent.LocalAddress()), 3);
    for (std::size_t i = 0; i < batch.size(); ++i) {
        ASSERT_EQ(agent.WaitReadable(1000), Readiness::Ready);
        std::array<std::uint8_t, 2000> buffer{};
        SocketAddress from{};
        const long length = agent.ReceiveFrom(buffer, from);
        ASSERT_EQ(length, static_cast<long>(4 + batch[i].body.size()));
        EXPECT_EQ(buffer[3], i + 1);
        EXPECT_TRUE(std::equal(batch[i].body.begin(), batch[i].body.end(), buffer.begin() + 4));
    }
}

TEST(UdpEndpoint, receive_withNothingQueued_wouldBlockAndWaitsEndOnTime) {
    UdpEndpoint endpoint;
    OpenBound(endpoint, Loopback(5));
    std::array<std::uint8_t, 16> buffer{};
    SocketAddress from{};
    EXPECT_EQ(endpoint.ReceiveFrom(buffer, from), kWouldBlock);
    EXPECT_EQ(endpoint.AwaitDatagram(buffer, from, 0), kWouldBlock);
    EXPECT_EQ(endpoint.WaitReadable(20), Readiness::TimedOut);
    EXPECT_EQ(endpoint.WaitWritable(20), Readiness::Ready);

    // Awaiting blocks for about the time given, and the plain receive after it still does not.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(endpoint.AwaitDatagram(buffer, from, 50), kWouldBlock);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
    EXPECT_EQ(endpoint.ReceiveFrom(buffer, from), kWouldBlock);
}

TEST(UdpEndpoint, awaitDatagram_takesADatagramThatIsQueuedOrArrivesWhileWaiting) {
    UdpEndpoint client;
    UdpEndpoint agent;
    OpenBound(client, Loopback(7));
    OpenBound(agent, Loopback(7));
    const std::vector<std::uint8_t> first = {0, 4, 0, 1};
    ASSERT_EQ(agent.SendTo(first, client.LocalAddress()), 4);
    std::array<std::uint8_t, 516> buffer{};
    SocketAddress from{};
    EXPECT_EQ(client.AwaitDatagram(buffer, from, 1000), 4);
    EXPECT_EQ(from, agent.LocalAddress());

    std::thread late([&agent, &client] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::vector<std::uint8_t> second = {0, 4, 0, 2};
        agent.SendTo(second, client.LocalAddress());
    });
    EXPECT_EQ(client.AwaitDatagram(buffer, from, 5000), 4);
    EXPECT_EQ(buffer[3], 2);
    late.join();
}

TEST(UdpEndpoint, longDatagram_isCutToBuffer_emptyDatagramReadsAsZero) {
    UdpEndpoint client;
    UdpEndpoint agent;
    OpenBound(client, Loopback(6));
    OpenBound(agent, Loopback(6));
    const std::vector<std::uint8_t> oversized(600, 0xAB);
    ASSERT_EQ(agent.SendTo(oversized, client.LocalAddress()), 600);
    ASSERT_EQ(agent.SendTo({}, client.LocalAddress()), 0);

    std::array<std::uint8_t, 516> buffer{};
    SocketAddress from{};
    ASSERT_EQ(client.WaitReadable(1000), Readiness::Ready);
    EXPECT_EQ(client.ReceiveFrom(buffer, from), 516);
    ASSERT_EQ(client.WaitReadable(1000), Readiness::Ready);
    EXPECT_EQ(client.ReceiveFrom(buffer, from), 0);
    EXPECT_EQ(from, agent.LocalAddress());
}

}  // namespace
}  // namespace kalvoran::net

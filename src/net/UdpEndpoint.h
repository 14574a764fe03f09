// The program's one UDP socket: IPv4, closed on exec. Only this folder touches sockets; the TFTP
// exchanges use it through DatagramSocket.
//
// Every call returns at once (each passes MSG_DONTWAIT), except AwaitDatagram, which blocks in
// the receive call itself for at most the time it is given (SO_RCVTIMEO): the socket is left in
// blocking mode for that one call, so that a waiting exchange takes its datagram with a single
// system call the moment it arrives.
//
// Closing is idempotent: Close marks the endpoint closed, so a second Close (the close
// operation followed by a session's own end, or the destructor) never closes the descriptor
// number again, which by then may belong to another file. Calls on a closed endpoint fail with
// kIoFailed without reaching the system, and waits on it return Readiness::Failed at once.
#pragma once

#include <cstdint>
#include <span>

#include "net/DatagramSocket.h"

namespace kalvoran::net {

class UdpEndpoint final : public DatagramSocket {
public:
    static constexpr int kNoSocket = -1;

    UdpEndpoint() = default;
    ~UdpEndpoint() override;  // closes a socket still open
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    // socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP), close-on-exec. An endpoint already open stays
    // as it is. False when the socket cannot be created.
    bool Open() override;
    // closesocket: true when a socket was open and is now closed; false when none was open.
    bool Close() override;
    // Binds the open socket to a local address (port 0 lets the system choose). Used by test
    // peers and tools that stand in for an agent; the client itself sends from any port.
    bool Bind(const SocketAddress& local);
    // The local address and port the socket is bound to (after a Bind or a first send);
    // 0.0.0.0:0 when unknown.
    SocketAddress LocalAddress() const;

    bool IsOpen() const override { return descriptor != kNoSocket; }
    int Descriptor() const { return descriptor; }

    long SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to) override;
    // One sendmmsg for the whole batch, each datagram gathered from its head and body.
    long SendBatch(std::span<const Gathered> datagrams, const SocketAddress& to) override;
    long ReceiveFrom(std::span<std::uint8_t> buffer, SocketAddress& from) override;
    long AwaitDatagram(std::span<std::uint8_t> buffer, SocketAddress& from,
                       int milliseconds) override;
    Readiness WaitReadable(int milliseconds) override;
    Readiness WaitWritable(int milliseconds) override;

private:
    Readiness WaitFor(short events, int milliseconds);
    long Receive(std::span<std::uint8_t> buffer, SocketAddress& from, int flags);

    int descriptor = kNoSocket;
    int receiveTimeoutMs = 0;  // SO_RCVTIMEO now set on the socket; 0: none yet
};

}  // namespace kalvoran::net

// The one UDP socket of the program as the TFTP exchanges see it: non-blocking send and receive
// calls plus short waits for the socket to become readable or writable. UdpEndpoint is the real
// socket; tests put a fake in simulated time in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kalvoran::net {

// An IPv4 address and UDP port. The address is in storage order (network byte order, first
// octet in the lowest-addressed byte, as LookupIPv4 and ToStorageOrder give it); the port is a
// plain number (69, not htons(69)).
struct SocketAddress {
    std::uint32_t address = 0;
    std::uint16_t port = 0;

    friend bool operator==(const SocketAddress&, const SocketAddress&) = default;
};

// Results of SendTo and ReceiveFrom other than a byte count.
inline constexpr long kWouldBlock = -1;  // nothing to read, or no room to send, right now
inline constexpr long kIoFailed = -2;    // the call failed for another reason (or no socket)

// What a wait for readiness ended with.
enum class Readiness {
    Ready,     // the next call will not block (it may still fail)
    TimedOut,  // nothing happened within the time given
    Failed,    // the wait itself failed, or there is no socket to wait on
};

class DatagramSocket {
public:
    virtual ~DatagramSocket() = default;

    // Makes the socket; one already open stays as it is. False when it cannot be made.
    virtual bool Open() = 0;
    // True when a socket was open and is now closed; false when none was open.
    virtual bool Close() = 0;
    virtual bool IsOpen() const = 0;

    // Hands one datagram to the socket without blocking. Returns the bytes sent, kWouldBlock
    // or kIoFailed.
    virtual long SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to) = 0;

    // One datagram of a batch, sent as its head followed by its body (a packet's header and a
    // payload that stays where it is).
    struct Gathered {
        std::span<const std::uint8_t> head;
        std::span<const std::uint8_t> body;
    };
    // Hands the datagrams to the socket in order without blocking, as many as it takes.
    // Returns how many it took (at least 1), kWouldBlock when it took none, or kIoFailed.
    // The default sends them one by one; a socket may hand them over in one system call.
    virtual long SendBatch(std::span<const Gathered> datagrams, const SocketAddress& to);

    // Takes one datagram off the socket without blocking; a longer datagram is cut to the
    // buffer. Returns its length (0 for an empty datagram) and fills from, or kWouldBlock or
    // kIoFailed (from then unchanged).
    virtual long ReceiveFrom(std::span<std::uint8_t> buffer, SocketAddress& from) = 0;

    // Takes one datagram off the socket like ReceiveFrom, but first waits at most milliseconds
    // for one to arrive (0: no wait). kWouldBlock when none came in time. A waiting exchange
    // spends one system call per datagram this way instead of a readiness wait and a receive.
    virtual long AwaitDatagram(std::span<std::uint8_t> buffer, SocketAddress& from,
                               int milliseconds) = 0;

    // Wait at most milliseconds until a datagram can be read, or until one can be sent.
    virtual Readiness WaitReadable(int milliseconds) = 0;
    virtual Readiness WaitWritable(int milliseconds) = 0;
};

}  // namespace kalvoran::net

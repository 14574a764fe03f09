// The reading of an ICMP echo reply, apart from the sockets it arrives on: a raw socket's
// datagram (IP header first) taken apart, and the test whether a reply answers our request.
// Replies come from the network, so the reading never looks past the bytes received.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kalvoran::net::icmp {

inline constexpr std::uint8_t kEchoReply = 0;
inline constexpr std::uint8_t kEchoRequest = 8;
inline constexpr std::size_t kIcmpHeaderSize = 8;
inline constexpr std::size_t kIpHeaderMinSize = 20;

// One handle's socket and the numbers its requests carry.
struct EchoSocket {
    int fd;
    int kind;                  // ICMP_SOCKET_DATAGRAM or ICMP_SOCKET_RAW
    std::uint16_t identifier;  // raw sockets only; the kernel chooses it for datagram sockets
    std::uint16_t sequence;
};

// An echo reply taken apart: where its data lie in the receive buffer and what the IP header said.
struct ReceivedEcho {
    std::uint32_t source;  // network order
    const std::uint8_t* icmp;
    std::size_t icmpSize;
    std::uint8_t ttl;
    std::uint8_t tos;
};

// The Internet checksum (RFC 1071) of size bytes; 0 over a packet whose checksum is intact.
std::uint16_t Checksum(const std::uint8_t* data, std::size_t size);

std::uint16_t ReadBigEndian16(const std::uint8_t* bytes);
void WriteBigEndian16(std::uint8_t* bytes, std::uint16_t value);

// The reply answers our request: an echo reply, from the destination, with our sequence number
// (and, on a raw socket, our identifier and an intact checksum).
bool Answers(const EchoSocket& echo, const ReceivedEcho& reply, std::uint32_t destination);

// Splits a raw socket's datagram (IP header first) into its parts; false when it is not a whole
// IPv4 ICMP packet.
bool ParseRawPacket(const std::uint8_t* packet, std::size_t size, ReceivedEcho& out);

}  // namespace kalvoran::net::icmp

#include "net/icmp/EchoReply.h"

#include <netinet/in.h>

#include <cstring>

#include "net/icmp/IcmpApi.h"

namespace kalvoran::net::icmp {

std::uint16_t Checksum(const std::uint8_t* data, std::size_t size) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        sum += static_cast<std::uint32_t>((data[i] << 8) | data[i + 1]);
    }
    if (size % 2 != 0) {
        sum += static_cast<std::uint32_t>(data[size - 1] << 8);
    }
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFFu) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFFu);
}

std::uint16_t ReadBigEndian16(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void WriteBigEndian16(std::uint8_t* bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value & 0xFFu);
}

bool Answers(const EchoSocket& echo, const ReceivedEcho& reply, std::uint32_t destination) {
    if (reply.source != destination || reply.icmpSize < kIcmpHeaderSize) {
        return false;
    }
    if (reply.icmp[0] != kEchoReply || reply.icmp[1] != 0) {
        return false;
    }
    if (ReadBigEndian16(reply.icmp + 6) != echo.sequence) {
        return false;
    }
    if (echo.kind == ICMP_SOCKET_RAW) {
        // The kernel hands every raw socket all ICMP traffic and checks neither field for us.
        if (ReadBigEndian16(reply.icmp + 4) != echo.identifier) {
            return false;
        }
        if (Checksum(reply.icmp, reply.icmpSize) != 0) {
            return false;
        }
    }
    return true;
}

bool ParseRawPacket(const std::uint8_t* packet, std::size_t size, ReceivedEcho& out) {
    if (size < kIpHeaderMinSize || (packet[0] >> 4) != 4) {
        return false;
    }
    const std::size_t headerSize = static_cast<std::size_t>(packet[0] & 0x0Fu) * 4;
    const std::size_t totalSize = ReadBigEndian16(packet + 2);
    if (headerSize < kIpHeaderMinSize || totalSize < headerSize || totalSize > size ||
        packet[9] != IPPROTO_ICMP) {
        return false;
    }
    std::memcpy(&out.source, packet + 12, sizeof out.source);
    out.tos = packet[1];
    out.ttl = packet[8];
    out.icmp = packet + headerSize;
    out.icmpSize = totalSize - headerSize;
    return true;
}

}  // namespace kalvoran::net::icmp

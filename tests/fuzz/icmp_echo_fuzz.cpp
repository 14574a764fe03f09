// libFuzzer target over the ICMP module's reading of echo replies from the network: a raw
// socket's datagram taken apart (ParseRawPacket) and the test whether it answers our request
// (Answers), for raw and datagram sockets.
//
// Input: two bytes of sequence number and two of identifier of the request, then the datagram
// as a raw socket receives it (IP header first). Each input also builds a reply of its own from
// the same bytes and checks that it is read, and that a reply damaged by one bit is not.
#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzTarget.h"
#include "net/icmp/EchoReply.h"
#include "net/icmp/IcmpApi.h"

namespace {

namespace icmp = kalvoran::net::icmp;

using kalvoran::fuzzing::Check;

constexpr std::uint32_t kDestination = 0x0100007F;  // 127.0.0.1 in network order

// An IPv4 packet from kDestination carrying an echo reply for echo with the given data, its
// checksum filled in; optionWords words of IP options.
std::vector<std::uint8_t> MakeReply(const icmp::EchoSocket& echo, const std::uint8_t* data,
                                    std::size_t size, std::size_t optionWords) {
    const std::size_t headerSize = icmp::kIpHeaderMinSize + optionWords * 4;
    const std::size_t total = headerSize + icmp::kIcmpHeaderSize + size;
    std::vector<std::uint8_t> packet(total, 0);
    packet[0] = static_cast<std::uint8_t>(0x40 | (headerSize / 4));
    icmp::WriteBigEndian16(packet.data() + 2, static_cast<std::uint16_t>(total));
    packet[8] = 64;
    packet[9] = IPPROTO_ICMP;
    std::memcpy(packet.data() + 12, &kDestination, sizeof kDestination);
    std::uint8_t* reply = packet.data() + headerSize;
    reply[0] = icmp::kEchoReply;
    icmp::WriteBigEndian16(reply + 4, echo.identifier);
    icmp::WriteBigEndian16(reply + 6, echo.sequence);
    if (size > 0) {
        std::memcpy(reply + icmp::kIcmpHeaderSize, data, size);
    }
    icmp::WriteBigEndian16(reply + 2, icmp::Checksum(reply, icmp::kIcmpHeaderSize + size));
    return packet;
}

void ReadReceived(const std::uint8_t* packet, std::size_t size, const icmp::EchoSocket& raw,
                  const icmp::EchoSocket& datagram) {
    icmp::ReceivedEcho reply{};
    const bool parsed = icmp::ParseRawPacket(packet, size, reply);
    icmp::ReceivedEcho again{};
    Check(icmp::ParseRawPacket(packet, size, again) == parsed);
    if (parsed) {
        // The ICMP part lies behind a whole IPv4 header, inside the datagram.
        Check(size >= icmp::kIpHeaderMinSize && (packet[0] >> 4) == 4 && packet[9] == IPPROTO_ICMP);
        Check(reply.icmp >= packet + icmp::kIpHeaderMinSize && reply.icmp <= packet + size);
        Check(reply.icmpSize <= static_cast<std::size_t>(packet + size - reply.icmp));
        Check(static_cast<std::size_t>(reply.icmp - packet) == (packet[0] & 0x0Fu) * 4u);
        Check(std::memcmp(&reply.source, packet + 12, 4) == 0 && reply.ttl == packet[8] &&
              reply.tos == packet[1]);
        Check(again.icmp == reply.icmp && again.icmpSize == reply.icmpSize);
        const bool answersRaw = icmp::Answers(raw, reply, kDestination);
        const bool answersDatagram = icmp::Answers(datagram, reply, kDestination);
        // A raw socket asks more of a reply than a datagram socket does, never less.
        Check(!answersRaw || answersDatagram);
        if (answersDatagram) {
            Check(reply.icmpSize >= icmp::kIcmpHeaderSize && reply.icmp[0] == icmp::kEchoReply &&
                  reply.icmp[1] == 0);
            Check(icmp::ReadBigEndian16(reply.icmp + 6) == datagram.sequence);
        }
        if (answersRaw) {
            Check(icmp::ReadBigEndian16(reply.icmp + 4) == raw.identifier);
            Check(icmp::Checksum(reply.icmp, reply.icmpSize) == 0);
        }
        Check(!icmp::Answers(datagram, reply, reply.source ^ 1u));
    }
    // As a datagram socket hands it over (no IP header), the same bytes.
    const icmp::ReceivedEcho plain{kDestination, packet, size, 0, 0};
    if (icmp::Answers(datagram, plain, kDestination)) {
        Check(size >= icmp::kIcmpHeaderSize && packet[0] == icmp::kEchoReply);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) {
        return 0;
    }
    const std::uint16_t sequence = icmp::ReadBigEndian16(data);
    const std::uint16_t identifier = icmp::ReadBigEndian16(data + 2);
    const icmp::EchoSocket raw{-1, ICMP_SOCKET_RAW, identifier, sequence};
    const icmp::EchoSocket datagram{-1, ICMP_SOCKET_DATAGRAM, 0, sequence};
    const std::uint8_t* packet = data + 4;
    const std::size_t packetSize = size - 4;
    ReadReceived(packet, packetSize, raw, datagram);

    // A reply built for our request, with the received bytes as its data, is read and answers;
    // one bit flipped in its ICMP part fails the raw socket's checksum.
    const std::size_t dataSize = packetSize > 2048 ? 2048 : packetSize;
    const std::size_t optionWords = packetSize > 0 ? packet[0] % 11 : 0;
    std::vector<std::uint8_t> reply = MakeReply(raw, packet, dataSize, optionWords);
    icmp::ReceivedEcho parsed{};
    Check(icmp::ParseRawPacket(reply.data(), reply.size(), parsed));
    Check(parsed.icmpSize == icmp::kIcmpHeaderSize + dataSize && parsed.source == kDestination);
    Check(icmp::Answers(raw, parsed, kDestination) &&
          icmp::Answers(datagram, parsed, kDestination));
    Check(icmp::Checksum(parsed.icmp, parsed.icmpSize) == 0);
    ReadReceived(reply.data(), reply.size(), raw, datagram);

    const std::size_t headerSize = icmp::kIpHeaderMinSize + optionWords * 4;
    const std::size_t flip =
        (packetSize > 1 ? packet[1] * 8u + (packetSize > 2 ? packet[2] : 0u) : 0u) %
        ((reply.size() - headerSize) * 8);
    reply[headerSize + flip / 8] ^= static_cast<std::uint8_t>(1u << (flip % 8));
    Check(icmp::ParseRawPacket(reply.data(), reply.size(), parsed));
    Check(!icmp::Answers(raw, parsed, kDestination));
    // A packet cut short of the length its header gives is not whole.
    Check(!icmp::ParseRawPacket(reply.data(), reply.size() - 1, parsed));
    return 0;
}

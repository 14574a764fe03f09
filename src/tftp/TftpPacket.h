// TFTP packet building and reading (RFC 1350) as pure functions over byte buffers.
//
// Writers fill a caller's buffer and return the packet length, or 0 when the packet would not
// fit. Readers never look past the datagram they are given; a datagram shorter than the 4-byte
// header is never read as a whole packet (see IsWholePacket).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kalvoran::tftp {

inline constexpr std::size_t kHeaderSize = 4;
inline constexpr std::size_t kBlockSize = 512;
inline constexpr std::size_t kPacketSize = kHeaderSize + kBlockSize;  // 516
inline constexpr int kTftpPort = 69;

inline constexpr int kOpRrq = 1;
inline constexpr int kOpWrq = 2;
inline constexpr int kOpData = 3;
inline constexpr int kOpAck = 4;
inline constexpr int kOpError = 5;

// "RRQ", "WRQ", "DATA", "ACK", "ERROR"; any other opcode is shown as "UNKNOWN".
const char* OpcodeName(int opcode);

// The eight standard error texts by TFTP error code; codes outside 0..7 are shown as
// "Unknown error code" so that an agent's private codes still produce a readable line.
const char* ErrorMessage(int code);

// Transfer modes by index: 0 "netascii", 1 "octet", 2 "mail"; nullptr for any other index.
const char* TransferModeName(int modeIndex);

// RRQ/WRQ: opcode, name, zero, mode, zero. Returns name length + mode length + 4.
std::size_t WriteRequest(std::span<std::uint8_t> out, int opcode, std::string_view name,
                         std::string_view mode);

// The 4-byte header in front of a payload the caller has already placed from byte 4 on.
// Returns payloadLength + 4, or 0 when that exceeds the buffer.
std::size_t WriteDataHeader(std::span<std::uint8_t> out, int opcode, int block,
                            std::size_t payloadLength);

// ACK for the low 16 bits of block. Returns 4.
std::size_t WriteAck(std::span<std::uint8_t> out, int block);

// ERROR: opcode 5, code, text, zero. The text is cut to what fits.
std::size_t WriteError(std::span<std::uint8_t> out, int code, std::string_view text);

// The low 16 bits of a block number as they travel: high byte first.
inline std::uint8_t BlockHigh(int block) {
    return static_cast<std::uint8_t>((static_cast<unsigned>(block) >> 8) & 0xFFu);
}
inline std::uint8_t BlockLow(int block) {
    return static_cast<std::uint8_t>(static_cast<unsigned>(block) & 0xFFu);
}

// True when the datagram holds at least the 4-byte header every packet starts with.
inline bool IsWholePacket(std::span<const std::uint8_t> datagram) {
    return datagram.size() >= kHeaderSize;
}

// Readers for a whole packet (IsWholePacket). The opcode is the second byte alone, the block
// number bytes three and four, the error code the fourth byte alone; on a shorter datagram
// they return -1.
int OpcodeOf(std::span<const std::uint8_t> datagram);
int BlockOf(std::span<const std::uint8_t> datagram);
int ErrorCodeOf(std::span<const std::uint8_t> datagram);

// An ERROR packet's text: from byte 5 up to the first zero byte or the end of the datagram.
std::string_view ErrorTextOf(std::span<const std::uint8_t> datagram);

// A read or write request as an agent receives it. Strict: both opcode bytes, a non-empty
// name and a mode, each ended by a zero byte inside the datagram.
struct Request {
    int opcode = 0;
    std::string_view name;
    std::string_view mode;
};
std::optional<Request> ParseRequest(std::span<const std::uint8_t> datagram);

}  // namespace kalvoran::tftp

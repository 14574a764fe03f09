// TFTP packet building and reading (RFC 1350, with the option extension of RFC 2347 for block
// size, transfer size and window size: RFC 2348, 2349 and 7440) as pure functions over byte
// buffers.
//
// Writers fill a caller's buffer and return the packet length, or 0 when the packet would not
// fit. Readers never look past the datagram they are given; a datagram shorter than the 4-byte
// header is never read as a whole packet (see IsWholePacket).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
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
inline constexpr int kOpOack = 6;

// The error code that refuses an option answer (or, from an agent, a request's options).
inline constexpr int kErrorOptionsRefused = 8;

// The options this client may ask for, and the largest packet they allow.
inline constexpr int kMinBlksize = 8;
inline constexpr int kMaxBlksize = 65464;
inline constexpr int kMinWindowsize = 1;
inline constexpr int kMaxWindowsize = 64;
inline constexpr std::size_t kLargestPacket = kHeaderSize + kMaxBlksize;  // 65468
inline constexpr std::string_view kBlksizeOption = "blksize";
inline constexpr std::string_view kWindowsizeOption = "windowsize";
inline constexpr std::string_view kTsizeOption = "tsize";

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

// The options a request asks for; 0 leaves one out. A request that asks for either also
// carries tsize.
struct AskedOptions {
    int blksize = 0;
    int windowsize = 0;
    bool Any() const { return blksize != 0 || windowsize != 0; }
    friend bool operator==(const AskedOptions&, const AskedOptions&) = default;
};

// True for a value an option may be asked with (the range of its RFC, narrowed to what this
// client carries), or 0 (not asked).
bool BlksizeInRange(long value);
bool WindowsizeInRange(long value);

// A request with the options asked (blksize, then windowsize) and tsize with tsizeValue, after
// the name and mode; the plain request when none is asked. Returns its length, or 0 when it
// does not fit.
std::size_t WriteRequestWithOptions(std::span<std::uint8_t> out, int opcode, std::string_view name,
                                    std::string_view mode, const AskedOptions& asked,
                                    std::uint64_t tsizeValue);

// OACK: opcode 6 and the pairs. Returns its length, or 0 when it does not fit.
struct OptionPair {
    std::string_view name;
    std::string_view value;
};
std::size_t WriteOack(std::span<std::uint8_t> out, std::span<const OptionPair> pairs);

// The name/value pairs of a request's tail or of an OACK's body: each a zero-terminated text,
// the name not empty, at most kMostOptionPairs pairs. Nothing for a malformed list (a text
// without its zero byte, an empty name, a name without a value, too many pairs).
inline constexpr std::size_t kMostOptionPairs = 8;
struct OptionList {
    std::array<OptionPair, kMostOptionPairs> pairs{};
    std::size_t count = 0;
    std::span<const OptionPair> Pairs() const { return std::span(pairs).first(count); }
};
std::optional<OptionList> ParseOptionPairs(std::span<const std::uint8_t> bytes);

// An option's value as a decimal number of at most 18 digits and nothing else.
std::optional<std::int64_t> OptionNumber(std::string_view value);
// Option names compare without regard to case.
bool SameOptionName(std::string_view a, std::string_view b);

// What an OACK put in force, judged against what the request asked: an option the OACK leaves
// out is not in force (blksize 512, windowsize 1, no tsize).
struct Agreement {
    int blksize = static_cast<int>(kBlockSize);
    int windowsize = 1;
    std::int64_t tsize = -1;  // -1: not answered
    friend bool operator==(const Agreement&, const Agreement&) = default;
};
// Either the agreement, or why the OACK is refused: a malformed list, an option not asked (or
// unknown), one named twice, a value that is not a number, a blksize below 8 or above the one
// asked, a windowsize below 1 or above the one asked. The reason is a short English phrase.
struct OackReading {
    std::optional<Agreement> agreed;
    std::string problem;
};
OackReading ReadOack(std::span<const std::uint8_t> datagram, const AskedOptions& asked);

// A read or write request as an agent receives it. Strict: both opcode bytes, a non-empty
// name and a mode, each ended by a zero byte inside the datagram.
struct Request {
    int opcode = 0;
    std::string_view name;
    std::string_view mode;
    // What follows the mode's zero byte: the options, when any (ParseOptionPairs).
    std::span<const std::uint8_t> options;
};
std::optional<Request> ParseRequest(std::span<const std::uint8_t> datagram);

}  // namespace kalvoran::tftp

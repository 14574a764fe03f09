// Texts, local-file limits and counts that more than one session uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "tftp/Transfer.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

inline constexpr char kWrongTypeText[] = "!!!WRONG TRANSFER TYPE!!!";
inline constexpr char kOpenFailedText[] = "Failed to open file: %s";
inline constexpr char kServerErrorText[] = "Server error TFTPERROR";
inline constexpr char kAckFailedText[] = "Failed to send ACK";
// The end of an agent wait (and of a PING) that got no answer in time.
inline constexpr char kUnableToContactText[] = "Unable to contact server.";
inline constexpr char kUnsupportedOptionsText[] =
    "Transfer options out of range: blksize %d, windowsize %d";

// Longest local path and local name a session takes.
inline constexpr std::size_t kMostPathCharacters = 2047;
inline constexpr std::size_t kMostNameCharacters = 255;

// Why a session refuses its local path (too long, or a name part too long or without one of
// the type's extensions, which gives invalidNameText), or nullptr when it takes it.
inline const char* LocalPathRefusal(std::string_view path, std::string_view name,
                                    std::span<const std::string_view> extensions,
                                    const char* invalidNameText) {
    if (path.size() > kMostPathCharacters) {
        return "File path too long (at most 2047 characters)";
    }
    if (name.size() > kMostNameCharacters) {
        return "File name too long (at most 255 characters)";
    }
    return ContainsAnyOf(name, extensions) ? nullptr : invalidNameText;
}

// True when every option the transfer asks for is in its range (or not asked).
inline bool ChannelCarries(const TransferOptions& options) {
    const tftp::AskedOptions& asked = options.asked;
    return (asked.blksize == 0 || tftp::BlksizeInRange(asked.blksize)) &&
           (asked.windowsize == 0 || tftp::WindowsizeInRange(asked.windowsize));
}

// How many blocks of blockSize bytes carry length bytes: the total a session's bar counts (the
// empty block that ends a length that is a multiple of the block size is not counted).
inline std::int32_t BlockTotal(std::int64_t length, std::int32_t blockSize) {
    return static_cast<std::int32_t>(length / blockSize + (length % blockSize == 0 ? 0 : 1));
}

}  // namespace kalvoran

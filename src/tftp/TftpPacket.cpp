#include "tftp/TftpPacket.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kalvoran::tftp {

namespace {

constexpr std::array<const char*, 6> kOpcodeNames = {"UNKNOWN", "RRQ", "WRQ",
                                                     "DATA",    "ACK", "ERROR"};

constexpr std::array<const char*, 8> kErrorMessages = {
    "Not defined, see error message",
    "File not found",
    "Access violation",
    "Disk full or allocation exceeded",
    "Illegal TFTP operation",
    "Unknown transfer ID",
    "File already exists",
    "No such user",
};

constexpr std::array<const char*, 3> kModeNames = {"netascii", "octet", "mail"};

// Length of the zero-terminated text starting at from, or npos when no zero byte follows.
std::size_t TerminatedLength(std::span<const std::uint8_t> bytes, std::size_t from) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] == 0) {
            return i - from;
        }
    }
    return std::string_view::npos;
}

std::string_view TextAt(std::span<const std::uint8_t> bytes, std::size_t from, std::size_t length) {
    return {reinterpret_cast<const char*>(bytes.data() + from), length};
}

}  // namespace

const char* OpcodeName(int opcode) {
    if (opcode < kOpRrq || opcode > kOpError) {
        return kOpcodeNames[0];
    }
    return kOpcodeNames[static_cast<std::size_t>(opcode)];
}

const char* ErrorMessage(int code) {
    if (code < 0 || static_cast<std::size_t>(code) >= kErrorMessages.size()) {
        return "Unknown error code";
    }
    return kErrorMessages[static_cast<std::size_t>(code)];
}

const char* TransferModeName(int modeIndex) {
    if (modeIndex < 0 || static_cast<std::size_t>(modeIndex) >= kModeNames.size()) {
        return nullptr;
    }
    return kModeNames[static_cast<std::size_t>(modeIndex)];
}

std::size_t WriteRequest(std::span<std::uint8_t> out, int opcode, std::string_view name,
                         std::string_view mode) {
    const std::size_t length = name.size() + mode.size() + 4;
    if (length > out.size()) {
        return 0;
    }
    out[0] = 0;
    out[1] = static_cast<std::uint8_t>(opcode);
    std::size_t at = 2;
    std::memcpy(out.data() + at, name.data(), name.size());
    at += name.size();
    out[at++] = 0;
    std::memcpy(out.data() + at, mode.data(), mode.size());
    at += mode.size();
    out[at] = 0;
    return length;
}

std::size_t WriteDataHeader(std::span<std::uint8_t> out, int opcode, int block,
                            std::size_t payloadLength) {
    if (out.size() < kHeaderSize || payloadLength > out.size() - kHeaderSize) {
        return 0;
    }
    out[0] = 0;
    out[1] = static_cast<std::uint8_t>(opcode);
    out[2] = BlockHigh(block);
    out[3] = BlockLow(block);
    return payloadLength + kHeaderSize;
}

std::size_t WriteAck(std::span<std::uint8_t> out, int block) {
    return WriteDataHeader(out, kOpAck, block, 0);
}

std::size_t WriteError(std::span<std::uint8_t> out, int code, std::string_view text) {
    if (out.size() < kHeaderSize + 1) {
        return 0;
    }
    const std::size_t room = out.size() - kHeaderSize - 1;
    const std::size_t textLength = std::min(text.size(), room);
    out[0] = 0;
    out[1] = kOpError;
    out[2] = BlockHigh(code);
    out[3] = BlockLow(code);
    std::memcpy(out.data() + kHeaderSize, text.data(), textLength);
    out[kHeaderSize + textLength] = 0;
    return kHeaderSize + textLength + 1;
}

int OpcodeOf(std::span<const std::uint8_t> datagram) {
    return IsWholePacket(datagram) ? datagram[1] : -1;
}

int BlockOf(std::span<const std::uint8_t> datagram) {
    return IsWholePacket(datagram) ? (datagram[2] << 8) | datagram[3] : -1;
}

int ErrorCodeOf(std::span<const std::uint8_t> datagram) {
    return IsWholePacket(datagram) ? datagram[3] : -1;
}

std::string_view ErrorTextOf(std::span<const std::uint8_t> datagram) {
    if (!IsWholePacket(datagram)) {
        return {};
    }
    const std::size_t length = TerminatedLength(datagram, kHeaderSize);
    return TextAt(datagram, kHeaderSize,
                  length == std::string_view::npos ? datagram.size() - kHeaderSize : length);
}

std::optional<Request> ParseRequest(std::span<const std::uint8_t> datagram) {
    if (datagram.size() < 2 || datagram[0] != 0 ||
        (datagram[1] != kOpRrq && datagram[1] != kOpWrq)) {
        return std::nullopt;
    }
    const std::size_t nameLength = TerminatedLength(datagram, 2);
    if (nameLength == std::string_view::npos || nameLength == 0) {
        return std::nullopt;
    }
    const std::size_t modeAt = 2 + nameLength + 1;
    const std::size_t modeLength = TerminatedLength(datagram, modeAt);
    if (modeLength == std::string_view::npos || modeLength == 0) {
        return std::nullopt;
    }
    return Request{datagram[1], TextAt(datagram, 2, nameLength),
                   TextAt(datagram, modeAt, modeLength)};
}

}  // namespace kalvoran::tftp

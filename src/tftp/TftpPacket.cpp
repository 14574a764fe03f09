#include "tftp/TftpPacket.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>

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
                   TextAt(datagram, modeAt, modeLength), datagram.subspan(modeAt + modeLength + 1)};
}

bool BlksizeInRange(long value) {
    return value >= kMinBlksize && value <= kMaxBlksize;
}

bool WindowsizeInRange(long value) {
    return value >= kMinWindowsize && value <= kMaxWindowsize;
}

std::size_t WriteRequestWithOptions(std::span<std::uint8_t> out, int opcode, std::string_view name,
                                    std::string_view mode, const AskedOptions& asked,
                                    std::uint64_t tsizeValue) {
    std::size_t length = WriteRequest(out, opcode, name, mode);
    if (length == 0 || !asked.Any()) {
        return length;
    }
    const auto append = [&out, &length](std::string_view option, std::uint64_t value) {
        if (length == 0) {
            return;
        }
        char digits[24];
        const int count =
            std::snprintf(digits, sizeof digits, "%llu", static_cast<unsigned long long>(value));
        const std::size_t needed = option.size() + static_cast<std::size_t>(count) + 2;
        if (count <= 0 || needed > out.size() - length) {
            length = 0;
            return;
        }
        std::memcpy(out.data() + length, option.data(), option.size());
        length += option.size();
        out[length++] = 0;
        std::memcpy(out.data() + length, digits, static_cast<std::size_t>(count));
        length += static_cast<std::size_t>(count);
        out[length++] = 0;
    };
    if (asked.blksize != 0) {
        append(kBlksizeOption, static_cast<std::uint64_t>(asked.blksize));
    }
    if (asked.windowsize != 0) {
        append(kWindowsizeOption, static_cast<std::uint64_t>(asked.windowsize));
    }
    append(kTsizeOption, tsizeValue);
    return length;
}

std::size_t WriteOack(std::span<std::uint8_t> out, std::span<const OptionPair> pairs) {
    if (out.size() < 2) {
        return 0;
    }
    out[0] = 0;
    out[1] = kOpOack;
    std::size_t length = 2;
    for (const OptionPair& pair : pairs) {
        for (const std::string_view text : {pair.name, pair.value}) {
            if (text.size() + 1 > out.size() - length) {
                return 0;
            }
            std::memcpy(out.data() + length, text.data(), text.size());
            length += text.size();
            out[length++] = 0;
        }
    }
    return length;
}

std::optional<OptionList> ParseOptionPairs(std::span<const std::uint8_t> bytes) {
    OptionList list;
    std::size_t at = 0;
    while (at < bytes.size()) {
        if (list.count == kMostOptionPairs) {
            return std::nullopt;
        }
        const std::size_t nameLength = TerminatedLength(bytes, at);
        if (nameLength == std::string_view::npos || nameLength == 0) {
            return std::nullopt;
        }
        const std::size_t valueAt = at + nameLength + 1;
        const std::size_t valueLength = TerminatedLength(bytes, valueAt);
        if (valueLength == std::string_view::npos) {
            return std::nullopt;
        }
        list.pairs[list.count++] = {TextAt(bytes, at, nameLength),
                                    TextAt(bytes, valueAt, valueLength)};
        at = valueAt + valueLength + 1;
    }
    return list;
}

std::optional<std::int64_t> OptionNumber(std::string_view value) {
    constexpr std::size_t kMostDigits = 18;
    if (value.empty() || value.size() > kMostDigits) {
        return std::nullopt;
    }
    std::int64_t number = 0;
    for (const char digit : value) {
        if (digit < '0' || digit > '9') {
            return std::nullopt;
        }
        number = number * 10 + (digit - '0');
    }
    return number;
}

bool SameOptionName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    };
    return std::ranges::equal(a, b, [&lower](char x, char y) { return lower(x) == lower(y); });
}

OackReading ReadOack(std::span<const std::uint8_t> datagram, const AskedOptions& asked) {
    OackReading reading;
    const auto refuse = [&reading](std::string problem) {
        reading.problem = std::move(problem);
        return reading;
    };
    if (datagram.size() < 2 || datagram[0] != 0 || datagram[1] != kOpOack) {
        return refuse("not an option answer");
    }
    const std::optional<OptionList> list = ParseOptionPairs(datagram.subspan(2));
    if (!list) {
        return refuse("malformed option list");
    }
    Agreement agreement;
    bool seen[3] = {false, false, false};
    for (const OptionPair& pair : list->Pairs()) {
        int which = -1;
        if (SameOptionName(pair.name, kBlksizeOption) && asked.blksize != 0) {
            which = 0;
        } else if (SameOptionName(pair.name, kWindowsizeOption) && asked.windowsize != 0) {
            which = 1;
        } else if (SameOptionName(pair.name, kTsizeOption) && asked.Any()) {
            which = 2;
        }
        // The option's name goes into the log: only a known one is named.
        if (which < 0) {
            return refuse("an option that was not asked for");
        }
        const std::string_view known = which == 0   ? kBlksizeOption
                                       : which == 1 ? kWindowsizeOption
                                                    : kTsizeOption;
        if (seen[which]) {
            return refuse(std::string(known) + " named twice");
        }
        seen[which] = true;
        const std::optional<std::int64_t> number = OptionNumber(pair.value);
        if (!number) {
            return refuse(std::string(known) + " without a number");
        }
        if (which == 0) {
            if (*number < kMinBlksize || *number > asked.blksize) {
                return refuse("blksize " + std::to_string(*number) + " out of range");
            }
            agreement.blksize = static_cast<int>(*number);
        } else if (which == 1) {
            if (*number < kMinWindowsize || *number > asked.windowsize) {
                return refuse("windowsize " + std::to_string(*number) + " out of range");
            }
            agreement.windowsize = static_cast<int>(*number);
        } else {
            agreement.tsize = *number;
        }
    }
    reading.agreed = agreement;
    return reading;
}

}  // namespace kalvoran::tftp

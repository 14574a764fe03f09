#include "fleet/Inventory.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

#include "files/AsciiText.h"

namespace kalvoran::fleet {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kStandardInput = "-";
// The longest piece of a refused address quoted in its error, so a line of garbage gives a
// readable message.
constexpr std::size_t kMaxQuoted = 40;
constexpr std::size_t kReadChunk = std::size_t{64} * 1024;

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

// The text between double quotes, with quotes, backslashes and control characters escaped so
// the error shows exactly what the line holds; cut after kMaxQuoted bytes, never inside a UTF-8
// sequence.
std::string Quoted(std::string_view text) {
    bool cut = false;
    if (text.size() > kMaxQuoted) {
        std::size_t end = kMaxQuoted;
        while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
            --end;
        }
        text = text.substr(0, end);
        cut = true;
    }
    std::string quoted;
    // Room for every byte escaped, so the text is built in one allocation.
    quoted.reserve(text.size() * 4 + 5);
    quoted += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (IsControl(byte)) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    quoted += cut ? "...\"" : "\"";
    return quoted;
}

std::string FormatOctets(const net::Octets& octets) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", unsigned{octets[0]}, unsigned{octets[1]},
                  unsigned{octets[2]}, unsigned{octets[3]});
    return buffer;
}

std::string LineError(int line, std::string_view reason) {
    const std::string number = std::to_string(line);
    std::string error;
    error.reserve(12 + number.size() + reason.size());
    error.append("inventory:").append(number).append(": ").append(reason);
    return error;
}

// One line's content (line end already removed): an agent, nothing (blank or comment), or the
// reason it is refused.
struct LineReading {
    bool agent = false;
    InventoryAgent parsed;
    std::string reason;
};

LineReading ReadLine(std::string_view line) {
    LineReading reading;
    if (line.size() > kMaxInventoryLine) {
        reading.reason = "line longer than " + std::to_string(kMaxInventoryLine) + " bytes";
        return reading;
    }
    if (const std::size_t hash = line.find('#'); hash != std::string_view::npos) {
        line = line.substr(0, hash);
    }
    line = TrimmedOf(line, kBlanks);
    if (line.empty()) {
        return reading;
    }
    const std::size_t gap = line.find_first_of(kBlanks);
    const std::string_view address = line.substr(0, gap);
    const std::string_view label =
        gap == std::string_view::npos ? std::string_view{} : TrimmedOf(line.substr(gap), kBlanks);
    net::Octets octets{};
    if (!net::ParseDottedAddress(address, octets)) {
        reading.reason = "not a dotted IPv4 address: " + Quoted(address);
        return reading;
    }
    if (octets == net::Octets{0, 0, 0, 0}) {
        reading.reason = "0.0.0.0 is not an agent's address";
        return reading;
    }
    // Many hosts answer these, and none of them is one agent.
    if (octets == net::Octets{255, 255, 255, 255}) {
        reading.reason = "255.255.255.255 is a broadcast address, not an agent's";
        return reading;
    }
    if (octets[0] >= 224 && octets[0] <= 239) {
        reading.reason = "a multicast address (224.0.0.0/4), not an agent's: " + Quoted(address);
        return reading;
    }
    for (const char c : label) {
        if (c != '\t' && IsControl(static_cast<unsigned char>(c))) {
            reading.reason = "control character in the label";
            return reading;
        }
    }
    reading.agent = true;
    reading.parsed.octets = octets;
    reading.parsed.address = FormatOctets(octets);
    reading.parsed.label = std::string(label);
    return reading;
}

std::string FileError(const std::string& path, std::string_view reason) {
    std::string error = "inventory: " + path + ": ";
    error += reason;
    return error;
}

// The whole content of descriptor, at most kMaxInventoryBytes; false with reason set otherwise.
bool ReadAll(int descriptor, std::string& content, std::string& reason) {
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t got = ::read(descriptor, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason = std::strerror(errno);
            return false;
        }
        if (got == 0) {
            return true;
        }
        if (content.size() + static_cast<std::size_t>(got) > kMaxInventoryBytes) {
            reason = "larger than 16 MiB";
            return false;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
}

}  // namespace

Inventory ParseInventory(std::string_view text) {
    Inventory inventory;
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    std::map<net::Octets, int> firstLines;
    int number = 0;
    while (!text.empty()) {
        ++number;
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (inventory.errors.size() >= kMaxInventoryErrors) {
            inventory.errors.push_back(
                LineError(number, "too many errors; the rest of the inventory is not checked"));
            break;
        }
        LineReading reading = ReadLine(line);
        if (!reading.reason.empty()) {
            inventory.errors.push_back(LineError(number, reading.reason));
            continue;
        }
        if (!reading.agent) {
            continue;
        }
        const auto [first, inserted] = firstLines.emplace(reading.parsed.octets, number);
        if (!inserted) {
            inventory.errors.push_back(LineError(number, reading.parsed.address +
                                                             " is listed twice (first on line " +
                                                             std::to_string(first->second) + ")"));
            continue;
        }
        reading.parsed.line = number;
        inventory.agents.push_back(std::move(reading.parsed));
    }
    if (inventory.agents.empty() && inventory.errors.empty()) {
        inventory.errors.emplace_back("inventory: no agents");
    }
    return inventory;
}

Inventory ReadInventory(const std::string& path) {
    const bool standardInput = path == kStandardInput;
    int descriptor = STDIN_FILENO;
    if (!standardInput) {
        do {
            descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (descriptor < 0 && errno == EINTR);
    }
    Inventory inventory;
    if (descriptor < 0) {
        inventory.errors.push_back(FileError(path, std::strerror(errno)));
        return inventory;
    }
    std::string content;
    std::string reason;
    const bool read = ReadAll(descriptor, content, reason);
    if (!standardInput) {
        ::close(descriptor);
    }
    if (!read) {
        inventory.errors.push_back(FileError(path, reason));
        return inventory;
    }
    return ParseInventory(content);
}

}  // namespace kalvoran::fleet

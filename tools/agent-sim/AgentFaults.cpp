#include "agent-sim/AgentFaults.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace kalvoran::agentsim {

namespace {

struct KindEntry {
    FaultKind kind;
    const char* keyword;
    int numbers;      // after the keyword, each behind a colon: the block, then delay or count
    int lowestBlock;  // 1 for faults on received DATA, which has no block 0
    std::int64_t lowestSecond;  // the range of delay or count
    std::int64_t highestSecond;
};

constexpr std::int64_t kLongestDelayMs = 600000;
constexpr std::int64_t kMostLosses = 65535;

constexpr std::array<KindEntry, 16> kKinds = {{
    {FaultKind::Error, "error", 0, 0, 0, 0},
    {FaultKind::Drop, "drop", 1, 0, 0, 0},
    {FaultKind::Delay, "delay", 2, 0, 0, kLongestDelayMs},
    {FaultKind::Duplicate, "duplicate", 1, 0, 0, 0},
    {FaultKind::Stall, "stall", 1, 0, 0, 0},
    {FaultKind::WrongPort, "wrong-port", 1, 0, 0, 0},
    {FaultKind::Short, "short", 1, 0, 0, 0},
    {FaultKind::Oversize, "oversize", 1, 0, 0, 0},
    {FaultKind::Stray, "stray", 1, 0, 0, 0},
    {FaultKind::DropInWindow, "drop-in-window", 1, 1, 0, 0},
    {FaultKind::Lose, "lose", 2, 1, 1, kMostLosses},
    {FaultKind::IgnoreOptions, "ignore-options", 0, 0, 0, 0},
    {FaultKind::OptionsError, "options-error", 0, 0, 0, 0},
    {FaultKind::OackLargerBlksize, "oack-larger-blksize", 0, 0, 0, 0},
    {FaultKind::OackUnrequested, "oack-unrequested", 0, 0, 0, 0},
    {FaultKind::OackMalformed, "oack-malformed", 0, 0, 0, 0},
}};

// A whole decimal number in [lowest, highest], nothing else.
std::optional<std::int64_t> ReadNumber(std::string_view text, std::int64_t lowest,
                                       std::int64_t highest) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < lowest ||
        value > highest) {
        return std::nullopt;
    }
    return value;
}

// Splits "head:rest" at the first colon; rest is empty and found false when there is none.
std::string_view TakeField(std::string_view& text, bool& found) {
    const std::size_t colon = text.find(':');
    found = colon != std::string_view::npos;
    const std::string_view head = text.substr(0, colon);
    text = found ? text.substr(colon + 1) : std::string_view{};
    return head;
}

std::optional<Fault> ParseErrorFault(std::string_view rest) {
    bool more = false;
    Fault fault;
    fault.kind = FaultKind::Error;
    fault.name = std::string(TakeField(rest, more));
    if (fault.name.empty() || !more) {
        return std::nullopt;
    }
    const std::string_view codeText = TakeField(rest, more);
    const auto code = ReadNumber(codeText, 0, 65535);
    if (!code) {
        return std::nullopt;
    }
    fault.errorCode = static_cast<int>(*code);
    fault.errorText = std::string(rest);
    return fault;
}

const KindEntry* EntryOf(FaultKind kind) {
    for (const KindEntry& entry : kKinds) {
        if (entry.kind == kind) {
            return &entry;
        }
    }
    return nullptr;
}

}  // namespace

const char* FaultKeyword(FaultKind kind) {
    const KindEntry* entry = EntryOf(kind);
    return entry != nullptr ? entry->keyword : "unknown";
}

int FaultNumbers(FaultKind kind) {
    const KindEntry* entry = EntryOf(kind);
    return entry != nullptr ? entry->numbers : 0;
}

std::optional<Fault> ParseFault(std::string_view text) {
    const std::string_view keyword = text.substr(0, text.find_first_of(":@"));
    const KindEntry* entry = nullptr;
    for (const KindEntry& candidate : kKinds) {
        if (keyword == candidate.keyword) {
            entry = &candidate;
        }
    }
    if (entry == nullptr) {
        return std::nullopt;
    }
    text.remove_prefix(keyword.size());
    if (entry->kind == FaultKind::Error) {
        return text.starts_with(':') ? ParseErrorFault(text.substr(1)) : std::nullopt;
    }

    Fault fault;
    fault.kind = entry->kind;
    const std::size_t at = text.find('@');
    if (at != std::string_view::npos) {
        fault.name = std::string(text.substr(at + 1));
        if (fault.name.empty()) {
            return std::nullopt;
        }
        text = text.substr(0, at);
    }
    std::array<std::int64_t, 2> numbers{};
    for (int i = 0; i < entry->numbers; ++i) {
        if (!text.starts_with(':')) {
            return std::nullopt;
        }
        text.remove_prefix(1);
        const std::size_t end = std::min(text.find(':'), text.size());
        const auto number =
            i == 0 ? ReadNumber(text.substr(0, end), entry->lowestBlock, 65535)
                   : ReadNumber(text.substr(0, end), entry->lowestSecond, entry->highestSecond);
        if (!number) {
            return std::nullopt;
        }
        numbers[static_cast<std::size_t>(i)] = *number;
        text.remove_prefix(end);
    }
    if (!text.empty()) {
        return std::nullopt;
    }
    fault.block = static_cast<int>(numbers[0]);
    if (fault.kind == FaultKind::Delay) {
        fault.delayMs = numbers[1];
    } else if (fault.kind == FaultKind::Lose) {
        fault.count = static_cast<int>(numbers[1]);
    }
    return fault;
}

}  // namespace kalvoran::agentsim

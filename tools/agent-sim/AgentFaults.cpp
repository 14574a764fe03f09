#include "agent-sim/AgentFaults.h"

#include <array>
#include <charconv>

namespace kalvoran::agentsim {

namespace {

struct KindEntry {
    FaultKind kind;
    const char* keyword;
    bool takesDelay;
};

constexpr std::array<KindEntry, 9> kKinds = {{
    {FaultKind::Error, "error", false},
    {FaultKind::Drop, "drop", false},
    {FaultKind::Delay, "delay", true},
    {FaultKind::Duplicate, "duplicate", false},
    {FaultKind::Stall, "stall", false},
    {FaultKind::WrongPort, "wrong-port", false},
    {FaultKind::Short, "short", false},
    {FaultKind::Oversize, "oversize", false},
    {FaultKind::Stray, "stray", false},
}};

constexpr std::int64_t kLongestDelayMs = 600000;

// A whole decimal number in [0, limit], nothing else.
std::optional<std::int64_t> ReadNumber(std::string_view text, std::int64_t limit) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > limit) {
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
    const auto code = ReadNumber(codeText, 65535);
    if (!code) {
        return std::nullopt;
    }
    fault.errorCode = static_cast<int>(*code);
    fault.errorText = std::string(rest);
    return fault;
}

}  // namespace

const char* FaultKeyword(FaultKind kind) {
    for (const KindEntry& entry : kKinds) {
        if (entry.kind == kind) {
            return entry.keyword;
        }
    }
    return "unknown";
}

std::optional<Fault> ParseFault(std::string_view text) {
    bool more = false;
    const std::string_view keyword = TakeField(text, more);
    const KindEntry* entry = nullptr;
    for (const KindEntry& candidate : kKinds) {
        if (keyword == candidate.keyword) {
            entry = &candidate;
        }
    }
    if (entry == nullptr || !more) {
        return std::nullopt;
    }
    if (entry->kind == FaultKind::Error) {
        return ParseErrorFault(text);
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
    const auto block = ReadNumber(TakeField(text, more), 65535);
    if (!block || more != entry->takesDelay) {
        return std::nullopt;
    }
    fault.block = static_cast<int>(*block);
    if (entry->takesDelay) {
        const auto delay = ReadNumber(text, kLongestDelayMs);
        if (!delay) {
            return std::nullopt;
        }
        fault.delayMs = *delay;
    }
    return fault;
}

}  // namespace kalvoran::agentsim

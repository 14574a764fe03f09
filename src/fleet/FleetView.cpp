#include "fleet/FleetView.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <map>

#include "files/StreamWrite.h"

namespace kalvoran::fleet {

namespace {

std::string Duration(double seconds) {
    if (seconds < 0) {
        return "-";
    }
    const long whole = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string_view ResultName(int result) {
    switch (result) {
        case 0:
            return "ok";
        case 1:
            return "no ping answer";
        case 2:
            return "refused or cancelled";
        case 3:
            return "network or protocol failure";
        case 4:
            return "job failed on the agent";
    }
    return "other";
}

}  // namespace

std::string Printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            shown += escape;
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string FleetView::FinishedLine(const AgentRecord& record) const {
    char line[512];
    if (record.result == 0) {
        std::snprintf(line, sizeof line, "%-15s %-*s %-10s ok  %lld bytes  %.1f s",
                      record.address.c_str(), labelColumn, record.label.c_str(),
                      record.action.c_str(), static_cast<long long>(record.bytes), record.seconds);
    } else {
        std::snprintf(line, sizeof line, "%-15s %-*s %-10s FAILED %d  %s", record.address.c_str(),
                      labelColumn, record.label.c_str(), record.action.c_str(), record.result,
                      record.reason.c_str());
    }
    // An ERROR's description spans two lines; on one line they read as one sentence.
    std::string text;
    for (const char* c = line; *c != '\0'; ++c) {
        if (c[0] == '\r' && c[1] == '\n') {
            text += ' ';
            ++c;
        } else {
            text += *c;
        }
    }
    text = Printable(text);
    if (record.result == 0 && !record.status.empty() && record.action == "status") {
        text += "  status: " + Printable(record.status);
    }
    if (record.attempts > 1) {
        text += "  (" + std::to_string(record.attempts) + " attempts)";
    }
    return text;
}

void FleetView::Put(const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    std::va_list measure;
    va_copy(measure, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        const std::size_t at = pending.size();
        pending.resize(at + static_cast<std::size_t>(length) + 1);
        std::vsnprintf(pending.data() + at, static_cast<std::size_t>(length) + 1, format,
                       arguments);
        pending.pop_back();  // the terminating zero
    }
    va_end(arguments);
}

void FleetView::Send() {
    WriteWithoutStalling(out, pending);
    pending.clear();
}

void FleetView::ClearTable() {
    if (tableLines > 0) {
        Put("\x1b[%dA\r\x1b[J", tableLines);
        tableLines = 0;
    }
}

void FleetView::Finished(const AgentState& agent) {
    ClearTable();
    Put("%s\n", FinishedLine(agent.record).c_str());
    Send();
}

void FleetView::Refresh(const std::vector<const AgentState*>& running, const FleetTotals& totals) {
    if (!live) {
        return;
    }
    ClearTable();
    for (const AgentState* state : running) {
        const AgentProgress& progress = state->progress;
        const int percent = progress.Percent();
        Put("%-15s %-*s %-10s %3d%%  %lld bytes\n", state->agent.address.c_str(), labelColumn,
            Printable(state->agent.label).c_str(), Printable(progress.phase).c_str(), percent,
            static_cast<long long>(progress.bytes));
        ++tableLines;
    }
    Put("done %d  failed %d  running %d  waiting %d  elapsed %s  left %s\n", totals.done,
        totals.failed, totals.running, totals.waiting, Duration(totals.elapsedSeconds).c_str(),
        Duration(totals.leftSeconds).c_str());
    ++tableLines;
    Send();
}

void FleetView::Summary(const std::vector<AgentRecord>& records, const std::string& reportPath,
                        const std::string& logsFolder) {
    ClearTable();
    std::map<int, int> byResult;
    for (const AgentRecord& record : records) {
        ++byResult[record.result];
    }
    const bool sends = !records.empty() && records.front().action == "send";
    Put("agents %zu, %s %d, failed %zu\n", records.size(), sends ? "upgraded" : "succeeded",
        byResult[0], records.size() - static_cast<std::size_t>(byResult[0]));
    for (const auto& [result, count] : byResult) {
        if (result != 0) {
            Put("  %4d  %d %.*s\n", count, result, static_cast<int>(ResultName(result).size()),
                ResultName(result).data());
        }
    }
    if (!reportPath.empty()) {
        Put("report: %s\n", reportPath.c_str());
    }
    Put("logs: %s\n", logsFolder.c_str());
    Send();
}

}  // namespace kalvoran::fleet

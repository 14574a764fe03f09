#include "fleet/FleetView.h"

#include <sys/ioctl.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "tftp/AgentText.h"
#include "tftp/StatusDisplay.h"

namespace kalvoran::fleet {

namespace {

constexpr int kAddressColumn = 15;
// The narrowest a label is shortened to on a narrow terminal before the result is cut.
constexpr int kNarrowestLabel = 3;
constexpr std::string_view kEllipsis = "\u2026";  // one column: "…"

std::string Duration(double seconds) {
    if (seconds < 0) {
        return "-";
    }
    const long whole = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

bool ContinuesCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The first columns characters of text (whole UTF-8 sequences).
std::string_view Head(std::string_view text, int columns) {
    std::size_t end = 0;
    for (int taken = 0; end < text.size(); ++end) {
        if (!ContinuesCharacter(text[end]) && taken++ == columns) {
            break;
        }
    }
    return text.substr(0, end);
}

std::string Pad(std::string text, int columns) {
    text.append(static_cast<std::size_t>(std::max(0, columns - Columns(text))), ' ');
    return text;
}

// An ERROR's description spans two lines; on one line they read as one sentence.
std::string OneLine(const std::string& text) {
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "\r\n") == 0) {
            line += ' ';
            ++i;
        } else {
            line += text[i];
        }
    }
    return line;
}

}  // namespace

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

int Columns(std::string_view text) {
    return static_cast<int>(
        std::count_if(text.begin(), text.end(), [](char c) { return !ContinuesCharacter(c); }));
}

std::string Shorten(std::string_view text, int columns) {
    if (Columns(text) <= columns) {
        return std::string(text);
    }
    if (columns <= 0) {
        return {};
    }
    return std::string(Head(text, columns - 1)) + std::string(kEllipsis);
}

std::string FleetView::Fit(const std::string& address, const std::string& label,
                           const std::string& rest, int columns) const {
    const std::string start = Pad(EscapeAgentText(address), kAddressColumn) + " ";
    int labelColumns = labelColumn;
    if (columns > 0) {
        const int room = columns - Columns(start) - 1 - Columns(rest);
        labelColumns = std::clamp(room, kNarrowestLabel, std::max(labelColumn, kNarrowestLabel));
    }
    const std::string line =
        start + Pad(Shorten(EscapeAgentText(label), labelColumns), labelColumns) + " " + rest;
    return columns > 0 ? Shorten(line, columns) : line;
}

std::string FleetView::FinishedLine(const AgentRecord& record, int columns) const {
    std::string rest = Pad(EscapeAgentText(record.action), 10) + " ";
    if (IsAlreadyCurrent(record)) {
        rest += "skipped, " + record.reason;
    } else if (record.result == 0) {
        rest += FormatLine("ok  %lld bytes  %.1f s", static_cast<long long>(record.bytes),
                           record.seconds);
    } else {
        rest += "FAILED " + std::to_string(record.result) + "  " +
                EscapeAgentText(OneLine(record.reason));
    }
    if (record.result == 0 && !record.status.empty() && record.action == "status") {
        rest += "  status: " + EscapeAgentText(record.status);
    }
    if (record.attempts > 1) {
        rest += "  (" + std::to_string(record.attempts) + " attempts)";
    }
    return Fit(record.address, record.label, rest, columns);
}

std::vector<std::string> FleetView::Table(const std::vector<const AgentState*>& running,
                                          const FleetTotals& totals, TerminalSize size) const {
    // The table and the line the cursor waits on below it fit on the screen: redrawn, it
    // scrolls nothing away.
    const int fit = std::max(0, size.rows - 2);
    const std::size_t shown = std::min(running.size(), static_cast<std::size_t>(fit));
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < shown; ++i) {
        const AgentProgress& progress = running[i]->progress;
        const std::string rest = Pad(EscapeAgentText(progress.phase), 10) +
                                 FormatLine(" %3d%%  %lld bytes", progress.Percent(),
                                            static_cast<long long>(progress.bytes));
        lines.push_back(
            Fit(running[i]->agent.address, running[i]->agent.label, rest, size.columns));
    }
    std::string runningText = std::to_string(totals.running);
    if (shown < running.size()) {
        runningText += " (+" + std::to_string(running.size() - shown) + " more)";
    }
    lines.push_back(Shorten(
        FormatLine("done %d  failed %d  running %s  waiting %d  elapsed %s  left %s", totals.done,
                   totals.failed, runningText.c_str(), totals.waiting,
                   Duration(totals.elapsedSeconds).c_str(), Duration(totals.leftSeconds).c_str()),
        size.columns));
    return lines;
}

TerminalSize FleetView::Size() const {
    winsize window{};
    TerminalSize size;
    if (::ioctl(output.Descriptor(), TIOCGWINSZ, &window) == 0 && window.ws_col > 0 &&
        window.ws_row > 0) {
        size.columns = window.ws_col;
        size.rows = window.ws_row;
    }
    return size;
}

void FleetView::Put(const std::string& text) {
    output.Add(text);
    output.WriteReady();
}

// The table is overwritten line by line, each line's end erased, and what is left of it below
// erased last: erasing the whole screen at once would make some terminals keep a copy of it in
// their history at every redraw.
std::string FleetView::Overwrite(const std::vector<std::string>& lines, int columns) {
    // After a resize the terminal may have wrapped the table's lines anew at its new width.
    int rows = 0;
    for (const int width : drawn) {
        rows += width <= columns ? 1 : (width + columns - 1) / columns;
    }
    drawn.clear();
    std::string text = rows > 0 ? FormatLine("\x1b[%dA\r", rows) : std::string();
    for (const std::string& line : lines) {
        text += line + (live ? "\x1b[K\n" : "\n");
    }
    if (rows > 0) {
        text += "\x1b[J";
    }
    return text;
}

void FleetView::Finished(const AgentState& agent) {
    const int columns = live ? Size().columns : 0;
    Put(Overwrite({FinishedLine(agent.record, columns)}, columns));
}

void FleetView::Refresh(const std::vector<const AgentState*>& running, const FleetTotals& totals) {
    // A reader that lags gets the next table once it has taken the last one.
    if (!live || output.Pending()) {
        return;
    }
    const TerminalSize size = Size();
    // No room for a table that would not scroll: none.
    const std::vector<std::string> table =
        size.rows < 2 ? std::vector<std::string>() : Table(running, totals, size);
    Put(Overwrite(table, size.columns));
    for (const std::string& line : table) {
        drawn.push_back(Columns(line));
    }
}

int FleetView::WaitingOutput() const {
    return output.Pending() ? output.Descriptor() : -1;
}

void FleetView::OutputReady() {
    output.WriteReady();
}

void FleetView::Summary(const std::vector<AgentRecord>& records, const std::string& reportPath,
                        const std::string& logsFolder, const std::vector<std::string>& notes) {
    std::map<int, int> byResult;
    int current = 0;
    for (const AgentRecord& record : records) {
        ++byResult[record.result];
        current += IsAlreadyCurrent(record) ? 1 : 0;
    }
    const bool sends = !records.empty() && records.front().action == "send";
    std::vector<std::string> lines = {FormatLine(
        "agents %zu, %s %d, failed %zu", records.size(), sends ? "upgraded" : "succeeded",
        byResult[0] - current, records.size() - static_cast<std::size_t>(byResult[0]))};
    if (current > 0) {
        lines.push_back(FormatLine("  %4d  skipped (already current)", current));
    }
    for (const auto& [result, count] : byResult) {
        if (result != 0) {
            lines.push_back(
                FormatLine("  %4d  %d %s", count, result, std::string(ResultName(result)).c_str()));
        }
    }
    if (!reportPath.empty()) {
        lines.push_back("report: " + reportPath);
    }
    lines.push_back("logs: " + logsFolder);
    // On a terminal the notes keep to its width like every other line; a script reading the
    // plain output gets them whole.
    const int columns = live ? Size().columns : 0;
    for (const std::string& note : notes) {
        lines.push_back(columns > 0 ? Shorten(note, columns) : note);
    }
    Put(Overwrite(lines, live ? columns : 1));
}

}  // namespace kalvoran::fleet

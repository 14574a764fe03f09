// What the engineer sees of a fleet run. On a terminal: a live table, one line per running agent
// (address, label, phase, percent, bytes) and a last line of totals, redrawn in place; each
// finished agent scrolls up as one line. Elsewhere (cron, CI, a pipe): one plain line per
// finished agent. At the end, a summary of how the agents fared and where the report and the
// logs are.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "fleet/FleetRun.h"

namespace kalvoran::fleet {

class FleetView final : public FleetDisplay {
public:
    // labelWidth: the column the labels take (the longest label, within bounds).
    FleetView(std::FILE* stream, bool terminal, int labelWidth = 16)
        : out(stream), live(terminal), labelColumn(labelWidth) {}

    void Finished(const AgentState& agent) override;
    void Refresh(const std::vector<const AgentState*>& running, const FleetTotals& totals) override;
    // Clears the live table and writes the summary.
    void Summary(const std::vector<AgentRecord>& records, const std::string& reportPath,
                 const std::string& logsFolder);

    // The one line of a finished agent, as the plain output and the scrolled-up lines show it.
    std::string FinishedLine(const AgentRecord& record) const;

private:
    void ClearTable();
    // Adds formatted text to what the next Send writes.
    [[gnu::format(printf, 2, 3)]] void Put(const char* format, ...);
    // Writes what was put, without letting a reader that stopped reading hold up the run (the
    // agents' sessions wait on this process for their progress to be read).
    void Send();

    std::FILE* out;
    bool live;
    int labelColumn;
    int tableLines = 0;  // lines of the live table on the screen
    std::string pending;
};

// Agent text shown on a terminal with its control characters as visible escapes (\xNN), so that
// an agent's text can neither forge lines nor send the terminal escape sequences.
std::string Printable(std::string_view text);

}  // namespace kalvoran::fleet

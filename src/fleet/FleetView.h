// What the engineer sees of a fleet run. On a terminal: a live table, one line per running agent
// (address, label, phase, percent, bytes) and a last line of totals, redrawn in place; each
// finished agent scrolls up as one line. Every line of it is cut to the terminal's width (a
// wrapped line would leave copies behind at each redraw), and the table takes no more rows than
// fit, so that the screen never scrolls but for finished agents. Elsewhere (cron, CI, a pipe):
// one plain line per finished agent. At the end, a summary of how the agents fared and where the
// report and the logs are.
//
// All of it goes through an OutputQueue: a slow reader (a pipe read late, a terminal held with
// Ctrl-S) gets every line late, and the agents never wait for it; while the reader lags, the
// table is not redrawn, so what waits for it is the finished lines and one table at most.
#pragma once

#include <string>
#include <vector>

#include "files/OutputQueue.h"
#include "fleet/FleetRun.h"

namespace kalvoran::fleet {

struct TerminalSize {
    int columns = 80;
    int rows = 24;
};

class FleetView final : public FleetDisplay {
public:
    // descriptor: standard output's; terminal: whether it is one (the live table).
    // labelWidth: the column the labels take (the longest label, within bounds).
    FleetView(int descriptor, bool terminal, int labelWidth = 16)
        : output(descriptor), live(terminal), labelColumn(labelWidth) {}

    void Finished(const AgentState& agent) override;
    void Refresh(const std::vector<const AgentState*>& running, const FleetTotals& totals) override;
    int WaitingOutput() const override;
    void OutputReady() override;
    // Clears the live table and queues the summary; notes are lines of its own the run adds.
    void Summary(const std::vector<AgentRecord>& records, const std::string& reportPath,
                 const std::string& logsFolder, const std::vector<std::string>& notes = {});
    // Writes what is still queued, waiting for the reader (the run is over); false when the
    // stream failed and lines were lost.
    bool Flush() { return output.Drain(); }

    // The one line of a finished agent. columns 0: the plain line (the label within its
    // column); else cut to that width, the label shortened first so that the result stays.
    std::string FinishedLine(const AgentRecord& record, int columns = 0) const;
    // The live table's lines for a terminal of this size: as many running agents as fit above
    // the totals line, and the totals line, which counts those left out.
    std::vector<std::string> Table(const std::vector<const AgentState*>& running,
                                   const FleetTotals& totals, TerminalSize size) const;

private:
    TerminalSize Size() const;
    // The text that puts lines where the table is on the screen (at the end when there is
    // none), as the terminal of that width now shows it, and erases what is left of the table.
    std::string Overwrite(const std::vector<std::string>& lines, int columns);
    void Put(const std::string& text);
    // address, label and the rest, fitted to columns (0: no limit).
    std::string Fit(const std::string& address, const std::string& label, const std::string& rest,
                    int columns) const;

    OutputQueue output;
    bool live;
    int labelColumn;
    std::vector<int> drawn;  // the columns of each line of the table on the screen
};

// The name of an agent result (0 to 4) in the summary and the history.
std::string_view ResultName(int result);

// The columns text takes on a terminal (one for each UTF-8 character), and text shortened to at
// most columns, ending in an ellipsis ("…") when it had to be cut.
int Columns(std::string_view text);
std::string Shorten(std::string_view text, int columns);

}  // namespace kalvoran::fleet

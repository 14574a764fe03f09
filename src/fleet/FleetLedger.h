// What a fleet run does with its ledger: records every agent's attempts as the agent finishes
// (LedgerRecorder, between the run and its display), and what `kalvoran-fleet history` shows of
// it. A ledger that cannot be written never stops or fails the run: what it could not take is
// kept and tried again as the next agent finishes and at the end, and the run's end names what
// it missed.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fleet/FleetRun.h"
#include "fleet/Ledger.h"

namespace kalvoran::fleet {

class LedgerRecorder final : public FleetDisplay {
public:
    // ledger may be null (it could not be opened: problem says why); then nothing is recorded
    // and everything counts as missed.
    LedgerRecorder(FleetDisplay& display, Ledger* ledger, bool verify, std::string problem)
        : inner(display), book(ledger), verified(verify), lastProblem(std::move(problem)) {}

    void AttemptEnded(const AgentState& agent) override;
    void Finished(const AgentState& agent) override;
    void Refresh(const std::vector<const AgentState*>& running,
                 const FleetTotals& totals) override {
        inner.Refresh(running, totals);
    }
    int WaitingOutput() const override { return inner.WaitingOutput(); }
    void OutputReady() override { inner.OutputReady(); }

    // An agent --skip-current left alone, recorded as such and shown as finished.
    void Skipped(const AgentState& agent);
    // Tries once more what is still unrecorded and records the run's end. Empty when the ledger
    // has everything, else the note saying what it missed.
    std::string Close(bool interrupted);

private:
    struct Unrecorded {
        std::vector<LedgerAttempt> attempts;
        bool skipped = false;
    };
    void Record(Unrecorded agent);
    bool TryRecord(const Unrecorded& agent);

    FleetDisplay& inner;
    Ledger* book;
    bool verified;
    std::string lastProblem;
    std::map<std::string, std::vector<LedgerAttempt>> earlier;  // attempts before the last
    std::vector<Unrecorded> missed;
};

// The attempt that just ended, from the agent's state.
LedgerAttempt AttemptOf(const AgentState& agent, int result, const std::string& reason);

// `history`: the entries for a terminal (grouped by agent, aligned) or for a pipe (one line of
// tab-separated fields per entry), or as JSON (the report's field names where they mean the
// same). The agents in the order of addresses when given, else by address.
std::string FormatHistory(const std::vector<HistoryEntry>& entries, bool terminal);
std::string FormatHistoryJson(const std::vector<HistoryEntry>& entries);
std::string FormatRuns(const std::vector<RunSummary>& runs, bool terminal);
std::string FormatRunsJson(const std::vector<RunSummary>& runs);

}  // namespace kalvoran::fleet

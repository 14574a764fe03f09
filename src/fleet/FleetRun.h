// Runs one fleet command: every agent of the inventory in a worker process of its own, at most
// --jobs at once and --pause apart, each attempt bounded by a deadline, failed attempts of the
// kinds worth repeating run again, and the first SIGINT or SIGTERM cancelling what runs (a
// second one ends at once). What happens is told to a FleetDisplay as it happens; the result
// is one AgentRecord per agent.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "files/FileIdentity.h"
#include "fleet/AgentWork.h"
#include "fleet/FleetCommand.h"
#include "fleet/Inventory.h"
#include "fleet/Report.h"
#include "tftp/ResultCode.h"
#include "tftp/StopSignals.h"

namespace kalvoran::fleet {

using FleetClock = std::chrono::steady_clock;

struct AgentState {
    enum class Stage { Waiting, Running, Done };

    InventoryAgent agent;
    Stage stage = Stage::Waiting;
    AgentProgress progress;
    AgentRecord record;
    // The running attempt.
    pid_t pid = -1;
    int fd = -1;
    std::string received;  // a message line not yet complete
    bool ended = false;    // the attempt's end message arrived
    bool overdue = false;  // the attempt was killed at its deadline
    AgentEnd end;
    std::string logProblem;  // of the last attempt that ended with a word
    FleetClock::time_point firstStart{};
    FleetClock::time_point attemptStart{};
    std::chrono::system_clock::time_point attemptStartedAt{};  // the same, by the wall clock
    FleetClock::time_point attemptDeadline{};
};

struct FleetTotals {
    int done = 0;  // succeeded
    int failed = 0;
    int running = 0;
    int waiting = 0;
    double elapsedSeconds = 0;
    double leftSeconds = -1;  // estimate; -1: none yet
};

class FleetDisplay {
public:
    virtual ~FleetDisplay() = default;
    // An attempt has ended and another follows (its end in agent.end).
    virtual void AttemptEnded(const AgentState& /*agent*/) {}
    // An agent has finished (for good: no attempt follows); the last attempt's end, when one
    // was made, in agent.end.
    virtual void Finished(const AgentState& agent) = 0;
    // The running agents and the totals, at most ten times a second.
    virtual void Refresh(const std::vector<const AgentState*>& running,
                         const FleetTotals& totals) = 0;
    // The descriptor with output waiting for room, or -1: the fleet's poll watches it with the
    // workers' pipes, so that output goes out as the reader takes it and nobody waits for it.
    virtual int WaitingOutput() const { return -1; }
    // The descriptor WaitingOutput named has room, or has failed.
    virtual void OutputReady() {}
};

struct FleetPlan {
    FleetCommand command;
    // The file a send or a configfile sends, as it was checked before the run: every agent gets
    // exactly this one.
    std::optional<FileIdentity> file;
    std::vector<InventoryAgent> agents;
    std::string logsFolder;
    double deadlineSeconds = 0;
};

// The file an agent's fetch goes to, and its log.
std::string DestinationOf(const FleetPlan& plan, const InventoryAgent& agent);
std::string LogPathOf(const FleetPlan& plan, const InventoryAgent& agent);

struct FleetResult {
    std::vector<AgentRecord> records;  // one per agent, in inventory order
    bool interrupted = false;          // a signal cancelled the run
    bool atOnce = false;  // a second signal ended it without waiting for the running agents
    std::vector<std::string> logProblems;  // "PATH: why" for each log not (all) written
};

// Runs the plan to its end.
FleetResult RunFleet(const FleetPlan& plan, FleetDisplay& display);

// The estimate of the time left, in seconds, or -1 while there is none worth showing: only
// once an agent has finished and while some are left. What is left goes at the pace at which
// agents have finished so far, but takes no less than a running agent needs at its own pace
// (agents that failed at once would otherwise promise an end any moment).
double LeftSeconds(const std::vector<const AgentState*>& running, int finished, int waiting,
                   double elapsedSeconds, FleetClock::time_point now);

// The fleet's exit code: 0 when every agent succeeded, else the highest agent result.
int FleetExitCode(const std::vector<AgentRecord>& records);

}  // namespace kalvoran::fleet

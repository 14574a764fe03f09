// One agent's work, run in a process of its own so that a crash, a hang or a kill of it cannot
// reach another agent's: exactly the sessions a run of the client would run for that agent (the
// same driver, texts, result codes and rules), its status log into the agent's log file, and
// what it is doing and how it ended told to the fleet as one JSON object a line on a pipe.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>

#include "fleet/FleetCommand.h"
#include "net/Addressing.h"

namespace kalvoran::fleet {

// The agent result beyond the client's: the agent took the file but reported a failed job, or
// no final status.
inline constexpr int kResultJobFailed = 4;

struct AgentJob {
    Action action = Action::Send;
    int sendType = -1;
    std::string file;         // send: the file; configfile: the request file
    std::string destination;  // eeprom, configfile: the file fetched into
    bool verify = false;
    net::Octets agent{};
    std::string logPath;
    bool appendLog = false;  // an attempt after the first adds to the log of the earlier ones
};

// What the work tells the fleet while it runs (phase "ping", "sending", "status" or
// "fetching"; the bar's position and range; the byte count) and once at its end.
struct AgentProgress {
    std::string phase;
    int position = 0;
    int range = 0;
    std::int64_t bytes = 0;
};
struct AgentEnd {
    int result = 0;
    std::string reason;
    std::int64_t bytes = 0;
    std::string status;  // the agent's status text, when one was read
};

// The messages on the pipe, one a line; ReadAgentMessage takes one line (without its '\n').
std::string ProgressMessage(const AgentProgress& progress);
std::string EndMessage(const AgentEnd& end);
struct AgentMessage {
    bool isEnd = false;
    AgentProgress progress;
    AgentEnd end;
};
bool ReadAgentMessage(std::string_view line, AgentMessage& message);

// Set by the work's SIGTERM handler: the running session is cancelled as the client's close
// operation cancels it.
extern volatile std::sig_atomic_t gAgentCancel;

// Runs the job in this process and writes its messages to reportFd. Returns the agent result.
int RunAgentWork(const AgentJob& job, int reportFd);

}  // namespace kalvoran::fleet

// One agent's work, run in a process of its own so that a crash, a hang or a kill of it cannot
// reach another agent's: the chain a run of the client would run for that agent (the same
// AgentLink, texts and rules), its status log into the agent's log file, and what it is doing
// and how it ended told to the fleet on a pipe (AgentMessage).
#pragma once

#include <optional>
#include <string>

#include "fleet/AgentMessage.h"
#include "fleet/FleetCommand.h"
#include "net/Addressing.h"
#include "tftp/AgentLink.h"

namespace kalvoran::fleet {

struct AgentJob {
    Action action = Action::Send;
    int sendType = -1;
    std::string file;                      // send: the file; configfile: the request file
    std::optional<FileIdentity> identity;  // the file as the fleet checked it
    std::string destination;               // eeprom, configfile: the file fetched into
    bool verify = false;
    tftp::AskedOptions asked;  // every transfer of the job asks for these
    net::Octets agent{};
    std::string logPath;
    bool appendLog = false;  // an attempt after the first adds to the log of the earlier ones
};

// The job's chain over link: a send (with --verify, then the status poll, whose verdict
// counts), the EEPROM fetch, the CREATE CONFIG FILE chain, or one status read.
ChainOutcome RunJob(const AgentJob& job, AgentLink& link);
// How the agent ended, as the fleet reports it.
AgentEnd EndOf(const ChainOutcome& chain);

// Runs the job in this process and writes its messages to reportFd. A SIGTERM (the fleet's
// cancel) ends the running session as the client's close operation does. Returns the agent
// result.
int RunAgentWork(const AgentJob& job, int reportFd);

}  // namespace kalvoran::fleet

// The command line of kalvoran-fleet (GNU conventions: long options before or after the words,
// --help, --version):
//   kalvoran-fleet [options] send <filetype> <file> <inventory>
//   kalvoran-fleet [options] eeprom <folder> <inventory>
//   kalvoran-fleet [options] configfile <request-file> <folder> <inventory>
//   kalvoran-fleet [options] status <inventory>
//   kalvoran-fleet [options] history [<address>...]
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "tftp/TftpPacket.h"

namespace kalvoran::fleet {

enum class Action { Send, Eeprom, ConfigFile, Status, History };
std::string_view ActionName(Action action);
// The word a send names its file type with: the client's keyword, or "bootloader".
std::string_view SendTypeWord(int type);

inline constexpr int kDefaultJobs = 8;
inline constexpr int kMostJobs = 1000;

struct FleetCommand {
    Action action = Action::Send;
    int sendType = -1;   // the transfer type of a send
    std::string file;    // send: the file; configfile: the request file
    std::string folder;  // eeprom, configfile: where the fetched files go
    std::string inventoryPath;
    int jobs = kDefaultJobs;     // agents at once
    bool verify = false;         // a send counts only after the agent reports a good final status
    int retries = 0;             // runs again after a network failure or an unanswered ping
    double pauseSeconds = 0;     // at least this long between two starts
    double deadlineSeconds = 0;  // one attempt's limit; 0: from the action and the file's size
    std::string reportPath;      // empty: no report
    std::string logsFolder;      // empty: kalvoran-fleet-logs/<date-time>/
    bool check = false;          // validate and tell what would run; send nothing
    tftp::AskedOptions asked;    // --blksize, --windowsize; 0: not asked
    std::string ledgerPath;      // --ledger; empty: the default place
    bool noLedger = false;       // --no-ledger
    bool skipCurrent = false;    // --skip-current: leave alone the agents that have this file
    // history: the agents asked about (none: all, or those of --inventory), --runs, --json.
    std::vector<std::string> addresses;
    bool runs = false;
    bool json = false;
};

struct ParsedCommand {
    enum class Kind { Run, Help, Version, UsageError };
    Kind kind = Kind::UsageError;
    FleetCommand command;
    std::string error;  // a usage error's reason
};

// argv as main has it. Never exits; the caller prints.
ParsedCommand ParseFleetCommand(int argc, char** argv);

// The --help text.
std::string_view FleetUsage();

}  // namespace kalvoran::fleet

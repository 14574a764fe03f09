#include "fleet/FleetCommand.h"

#include <getopt.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "tftp/TransferTypes.h"

namespace kalvoran::fleet {

namespace {

constexpr std::string_view kUsage =
    "Usage: kalvoran-fleet [options] send <filetype> <file> <inventory>\n"
    "       kalvoran-fleet [options] eeprom <folder> <inventory>\n"
    "       kalvoran-fleet [options] configfile <request-file> <folder> <inventory>\n"
    "       kalvoran-fleet [options] status <inventory>\n"
    "       kalvoran-fleet [options] history [<address>...]\n"
    "Does for every agent of the inventory what a run of KalvoranTFTPclient does for one, many\n"
    "agents at once, and reports how each went.\n"
    "\n"
    "  send        send <file> as <filetype>: image, config, command, filesystem or bootloader\n"
    "  eeprom      fetch each agent's EEPROM image into <folder>/<address>.eeprom.bin\n"
    "  configfile  send the request file, wait for \"Config file done\", fetch the generated\n"
    "              configuration into <folder>/<address>.config.cfg\n"
    "  status      read each agent's status text once\n"
    "  history     what the ledger holds: each agent's latest result of each action\n"
    "\n"
    "The inventory (- for standard input) names one agent a line: a dotted IPv4 address,\n"
    "optionally followed by a label; # starts a comment.\n"
    "\n"
    "Options:\n"
    "  --jobs N          agents at once (default 8)\n"
    "  --verify          after a send, read the agent's status; upgraded only when it reports\n"
    "                    \"Memory compare Flash/Ram is OK\" or \"Config done\"\n"
    "  --retries K       run an agent again after a network failure or an unanswered ping, up\n"
    "                    to K times (default 0)\n"
    "  --pause SECONDS   at least this long between two starts\n"
    "  --deadline SECONDS  end one agent's attempt that takes longer (default: from the action\n"
    "                    and the file's size, well above the protocol's own waits)\n"
    "  --report FILE     write a report, CSV or JSON by the name's extension\n"
    "  --logs DIR        the agents' logs (default kalvoran-fleet-logs/<date-time>/)\n"
    "  --blksize N       ask every agent for blocks of N bytes (8 to 65464, RFC 2348)\n"
    "  --windowsize N    ask every agent for N blocks in flight (1 to 64, RFC 7440)\n"
    "                    An agent that does not agree gets the plain protocol (512-byte blocks,\n"
    "                    one at a time), the default.\n"
    "  --check           check the inventory and the file, print what would run, send nothing\n"
    "  --ledger FILE     the ledger of runs and results (default\n"
    "                    $XDG_STATE_HOME/kalvoran/ledger.sqlite3)\n"
    "  --no-ledger       record nothing\n"
    "  --skip-current    send: leave alone each agent whose latest send of this file type was\n"
    "                    this file and succeeded (and was verified, with --verify)\n"
    "  --inventory FILE  history: the agents of this inventory\n"
    "  --runs            history: list the runs instead\n"
    "  --json            history: as JSON\n"
    "  --help            show this text\n"
    "  --version         show the version\n"
    "\n"
    "Exit code: 0 every agent succeeded; otherwise the highest agent result: 1 no ping answer,\n"
    "2 refused or cancelled, 3 network or protocol failure, 4 the agent took the file but\n"
    "reported a failed job or no final status (--verify, configfile).\n";

enum Option {
    kJobs = 1000,
    kVerify,
    kRetries,
    kPause,
    kDeadline,
    kReport,
    kLogs,
    kCheck,
    kBlksize,
    kWindowsize,
    kLedger,
    kNoLedger,
    kSkipCurrent,
    kInventory,
    kRuns,
    kJson,
    kHelp,
    kVersion
};

bool ReadInt(const char* text, int lowest, int highest, int& value) {
    const std::string_view word = text;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    return !word.empty() && error == std::errc() && end == word.data() + word.size() &&
           value >= lowest && value <= highest;
}

// Decimal only, like every number of the command line: "0x10" is no number of seconds.
bool ReadSeconds(const char* text, double& value) {
    const std::string_view word = text;
    const auto [end, error] =
        std::from_chars(word.data(), word.data() + word.size(), value, std::chars_format::fixed);
    return !word.empty() && error == std::errc() && end == word.data() + word.size() &&
           std::isfinite(value) && value >= 0 && value <= 86400;
}

// The types a send may name: the ones DOWNLOAD TO DEVICE sends, by their command-line keyword,
// and the bootloader, which has none.
int SendTypeOf(std::string_view word) {
    if (word == "bootloader") {
        return BOOTLOADER_UPGRADE;
    }
    for (int type = 0; type < kTransferTypeCount; ++type) {
        const TransferTypeInfo* info = TransferTypeInfoOf(type);
        if (!info->keyword.empty() && info->keyword == word) {
            return type;
        }
    }
    return -1;
}

ParsedCommand Usage(std::string error) {
    ParsedCommand parsed;
    parsed.kind = ParsedCommand::Kind::UsageError;
    parsed.error = std::move(error);
    return parsed;
}

}  // namespace

std::string_view ActionName(Action action) {
    switch (action) {
        case Action::Send:
            return "send";
        case Action::Eeprom:
            return "eeprom";
        case Action::ConfigFile:
            return "configfile";
        case Action::Status:
            return "status";
        case Action::History:
            return "history";
    }
    return "";
}

std::string_view SendTypeWord(int type) {
    if (type == BOOTLOADER_UPGRADE) {
        return "bootloader";
    }
    const TransferTypeInfo* info = TransferTypeInfoOf(type);
    return info == nullptr ? std::string_view() : info->keyword;
}

std::string_view FleetUsage() {
    return kUsage;
}

ParsedCommand ParseFleetCommand(int argc, char** argv) {
    static const option kOptions[] = {
        {"jobs", required_argument, nullptr, kJobs},
        {"verify", no_argument, nullptr, kVerify},
        {"retries", required_argument, nullptr, kRetries},
        {"pause", required_argument, nullptr, kPause},
        {"deadline", required_argument, nullptr, kDeadline},
        {"report", required_argument, nullptr, kReport},
        {"logs", required_argument, nullptr, kLogs},
        {"check", no_argument, nullptr, kCheck},
        {"blksize", required_argument, nullptr, kBlksize},
        {"windowsize", required_argument, nullptr, kWindowsize},
        {"ledger", required_argument, nullptr, kLedger},
        {"no-ledger", no_argument, nullptr, kNoLedger},
        {"skip-current", no_argument, nullptr, kSkipCurrent},
        {"inventory", required_argument, nullptr, kInventory},
        {"runs", no_argument, nullptr, kRuns},
        {"json", no_argument, nullptr, kJson},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    ParsedCommand parsed;
    parsed.kind = ParsedCommand::Kind::Run;
    FleetCommand& command = parsed.command;
    optind = 0;  // a fresh scan, also when called more than once (tests)
    opterr = 0;  // the caller reports
    for (;;) {
        const int option = getopt_long(argc, argv, "", kOptions, nullptr);
        if (option == -1) {
            break;
        }
        const char* value = optarg;
        switch (option) {
            case kJobs:
                if (!ReadInt(value, 1, kMostJobs, command.jobs)) {
                    return Usage("--jobs takes a number from 1 to 1000");
                }
                break;
            case kVerify:
                command.verify = true;
                break;
            case kRetries:
                if (!ReadInt(value, 0, 100, command.retries)) {
                    return Usage("--retries takes a number from 0 to 100");
                }
                break;
            case kPause:
                if (!ReadSeconds(value, command.pauseSeconds)) {
                    return Usage("--pause takes a number of seconds from 0 to 86400");
                }
                break;
            case kDeadline:
                if (!ReadSeconds(value, command.deadlineSeconds) || command.deadlineSeconds == 0) {
                    return Usage("--deadline takes a number of seconds above 0, at most 86400");
                }
                break;
            case kReport:
                command.reportPath = value;
                break;
            case kLogs:
                command.logsFolder = value;
                break;
            case kCheck:
                command.check = true;
                break;
            case kBlksize:
                if (!ReadInt(value, tftp::kMinBlksize, tftp::kMaxBlksize, command.asked.blksize)) {
                    return Usage("--blksize takes a number from 8 to 65464");
                }
                break;
            case kWindowsize:
                if (!ReadInt(value, tftp::kMinWindowsize, tftp::kMaxWindowsize,
                             command.asked.windowsize)) {
                    return Usage("--windowsize takes a number from 1 to 64");
                }
                break;
            case kLedger:
                command.ledgerPath = value;
                break;
            case kNoLedger:
                command.noLedger = true;
                break;
            case kSkipCurrent:
                command.skipCurrent = true;
                break;
            case kInventory:
                command.inventoryPath = value;
                break;
            case kRuns:
                command.runs = true;
                break;
            case kJson:
                command.json = true;
                break;
            case kHelp:
                parsed.kind = ParsedCommand::Kind::Help;
                return parsed;
            case kVersion:
                parsed.kind = ParsedCommand::Kind::Version;
                return parsed;
            default:
                return Usage(optopt != 0 || optind < 1
                                 ? "unknown option or missing value"
                                 : std::string("unknown option ") + argv[optind - 1]);
        }
    }
    const std::vector<std::string_view> words(argv + optind, argv + argc);
    if (words.empty()) {
        return Usage("no action given (send, eeprom, configfile, status or history)");
    }
    const bool inventoryOption = !command.inventoryPath.empty();
    const std::string_view action = words[0];
    const auto expect = [&words](std::size_t count) { return words.size() == count + 1; };
    if (action == "send") {
        if (!expect(3)) {
            return Usage("send takes <filetype> <file> <inventory>");
        }
        command.action = Action::Send;
        command.sendType = SendTypeOf(words[1]);
        if (command.sendType < 0) {
            return Usage("unknown file type \"" + std::string(words[1]) +
                         "\" (image, config, command, filesystem or bootloader)");
        }
        command.file = words[2];
        command.inventoryPath = words[3];
    } else if (action == "eeprom") {
        if (!expect(2)) {
            return Usage("eeprom takes <folder> <inventory>");
        }
        command.action = Action::Eeprom;
        command.folder = words[1];
        command.inventoryPath = words[2];
    } else if (action == "configfile") {
        if (!expect(3)) {
            return Usage("configfile takes <request-file> <folder> <inventory>");
        }
        command.action = Action::ConfigFile;
        command.file = words[1];
        command.folder = words[2];
        command.inventoryPath = words[3];
    } else if (action == "status") {
        if (!expect(1)) {
            return Usage("status takes <inventory>");
        }
        command.action = Action::Status;
        command.inventoryPath = words[1];
    } else if (action == "history") {
        command.action = Action::History;
        command.addresses.assign(words.begin() + 1, words.end());
        if (command.noLedger) {
            return Usage("history reads the ledger; --no-ledger has none");
        }
        if (command.runs && (inventoryOption || !command.addresses.empty())) {
            return Usage("--runs lists every run; it takes no agents");
        }
        if (inventoryOption && !command.addresses.empty()) {
            return Usage("history takes addresses or --inventory, not both");
        }
    } else {
        return Usage("unknown action \"" + std::string(action) +
                     "\" (send, eeprom, configfile, status or history)");
    }
    if (command.action != Action::History && (inventoryOption || command.runs || command.json)) {
        return Usage("--inventory, --runs and --json go with history");
    }
    if (command.verify && command.action != Action::Send) {
        return Usage("--verify goes with send");
    }
    if (command.noLedger && !command.ledgerPath.empty()) {
        return Usage("--ledger and --no-ledger exclude each other");
    }
    if (command.skipCurrent && (command.action != Action::Send || command.noLedger)) {
        return Usage("--skip-current goes with send, and needs the ledger");
    }
    return parsed;
}

}  // namespace kalvoran::fleet

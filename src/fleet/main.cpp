// kalvoran-fleet: does for every agent of an inventory what a run of KalvoranTFTPclient does for
// one, many agents at once, and reports how each went. See FleetCommand.h for the command line.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>

#include "files/LocalFile.h"
#include "files/StoredCrc.h"
#include "fleet/FleetCommand.h"
#include "fleet/FleetLedger.h"
#include "fleet/FleetRun.h"
#include "fleet/FleetView.h"
#include "fleet/Inventory.h"
#include "fleet/Ledger.h"
#include "fleet/Paths.h"
#include "fleet/Report.h"
#include "tftp/AgentText.h"
#include "tftp/ResultCode.h"
#include "tftp/SendSession.h"

namespace {

using namespace kalvoran;
using namespace kalvoran::fleet;

int Refuse(const std::string& reason) {
    std::fprintf(stderr, "%s\n", reason.c_str());
    return kResultRefused;
}

// The file a send or a configfile sends, checked once with the client's rules before anything
// is sent to any agent. Its length (or -1) comes back for the deadline.
bool CheckFile(const FleetCommand& command, std::int32_t& length, std::string& reason) {
    const int type = command.action == Action::Send ? command.sendType : CREATE_CONFIG_FILE;
    CLocalFile file;
    const SendCheck check = CheckSend(Transfer{type, command.file, {}, {}}, file);
    file.Close();
    length = check.fileLength;
    reason = !check.refusal.empty() ? check.refusal : check.lengthReason;
    return check.refusal.empty();
}

bool IsFolder(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::string DefaultLogsFolder() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return std::string("kalvoran-fleet-logs/") + stamp;
}

// Well above the protocol's own waits (20 s for the ping, six 2-second misses a block): a
// base, time for every block at a slow link's pace, and the status poll's 20 attempts.
double DefaultDeadline(const FleetCommand& command, std::int32_t fileLength) {
    constexpr double kBaseSeconds = 300;
    constexpr double kSecondsPerBlock = 0.02;
    constexpr double kPollSeconds = 900;
    double seconds = kBaseSeconds;
    if (fileLength > 0) {
        seconds += kSecondsPerBlock * (fileLength / 512.0 + 1);
    }
    if (command.verify || command.action == Action::ConfigFile) {
        seconds += kPollSeconds;
    }
    return seconds;
}

// The options asked, as the plan and the ledger name them: "blksize 1468, windowsize 16".
std::string OptionsText(const tftp::AskedOptions& asked) {
    std::string options;
    if (asked.blksize != 0) {
        options += "blksize " + std::to_string(asked.blksize);
    }
    if (asked.windowsize != 0) {
        options += std::string(asked.blksize != 0 ? ", " : "") + "windowsize " +
                   std::to_string(asked.windowsize);
    }
    return options;
}

// The agents --skip-current leaves alone, by address, with the reason their row gives.
using Skips = std::map<std::string, AgentRecord>;

void PrintPlan(const FleetPlan& plan, const Skips& skips) {
    const FleetCommand& command = plan.command;
    for (const InventoryAgent& agent : plan.agents) {
        if (const auto skip = skips.find(agent.address); skip != skips.end()) {
            std::printf("%-15s %-16s skipped, %s\n", agent.address.c_str(),
                        EscapeAgentText(agent.label).c_str(), skip->second.reason.c_str());
            continue;
        }
        std::string what(ActionName(command.action));
        if (command.action == Action::Send || command.action == Action::ConfigFile) {
            what += " " + command.file;
        }
        const std::string destination = DestinationOf(plan, agent);
        if (!destination.empty()) {
            what += " -> " + destination;
        }
        std::printf("%-15s %-16s %s%s\n", agent.address.c_str(),
                    EscapeAgentText(agent.label).c_str(), what.c_str(),
                    command.verify ? " (verify)" : "");
    }
    if (plan.file) {
        std::printf("%s: SHA-256 %s\n", command.file.c_str(), HexOf(plan.file->sha256).c_str());
    }
    if (command.asked.Any()) {
        std::printf("options: %s\n", OptionsText(command.asked).c_str());
    }
    std::printf("%zu agents, %d at once, %d retries, %.1f s between starts, log folder %s\n",
                plan.agents.size(), command.jobs, command.retries, command.pauseSeconds,
                plan.logsFolder.c_str());
    if (!skips.empty()) {
        std::printf("%zu skipped (already current)\n", skips.size());
    }
}

std::string CommandLineText(int argc, char** argv) {
    std::string text;
    for (int i = 0; i < argc; ++i) {
        const std::string word = argv[i];
        const bool plain =
            !word.empty() && word.find_first_of(" \t\n'\"\\$`;&|<>*?()[]{}#~") == std::string::npos;
        std::string quoted = "'";
        for (const char c : word) {
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        }
        text += (i > 0 ? " " : "") + (plain ? word : quoted + "'");
    }
    return text;
}

std::string UserName() {
    if (const passwd* entry = ::getpwuid(::geteuid());
        entry != nullptr && entry->pw_name != nullptr) {
        return entry->pw_name;
    }
    return std::to_string(::geteuid());
}

std::string HostName() {
    char name[256] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? std::string(name) : std::string();
}

LedgerRun RunOf(const FleetPlan& plan, const std::string& commandLine) {
    const FleetCommand& command = plan.command;
    LedgerRun run;
    run.started = UtcNow();
    run.host = HostName();
    run.user = UserName();
    run.commandLine = commandLine;
    run.action = std::string(ActionName(command.action));
    run.type = command.action == Action::Send ? std::string(SendTypeWord(command.sendType)) : "";
    run.fileName = command.file;
    if (plan.file) {
        run.fileLength = plan.file->size;
        run.sha256 = HexOf(plan.file->sha256);
        CLocalFile file;
        if (file.Open(command.file.c_str(), CLocalFile::ModeRead) != CLocalFile::kNoFile) {
            run.crc32 = ReadStoredCrc(file).text.data();
        }
        file.Close();
    }
    run.options = OptionsText(command.asked);
    run.verify = command.verify;
    return run;
}

std::string LedgerPathOf(const FleetCommand& command) {
    return command.ledgerPath.empty() ? DefaultLedgerPath() : command.ledgerPath;
}

// kalvoran-fleet history: what the ledger holds, read only.
int RunHistory(const FleetCommand& command) {
    const std::string path = LedgerPathOf(command);
    if (path.empty()) {
        return Refuse("ledger: no place for it (neither XDG_STATE_HOME nor HOME is set)");
    }
    std::vector<std::string> addresses = command.addresses;
    if (!command.inventoryPath.empty()) {
        const Inventory inventory = ReadInventory(command.inventoryPath);
        if (!inventory.errors.empty()) {
            for (const std::string& error : inventory.errors) {
                std::fprintf(stderr, "%s\n", error.c_str());
            }
            return kResultRefused;
        }
        for (const InventoryAgent& agent : inventory.agents) {
            addresses.push_back(agent.address);
        }
        if (addresses.empty()) {
            return Refuse(command.inventoryPath + ": no agents");
        }
    }
    std::string error;
    const std::unique_ptr<Ledger> ledger = Ledger::Open(path, Ledger::Mode::Read, error);
    if (!ledger) {
        return Refuse(error);
    }
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    std::string text;
    if (command.runs) {
        std::vector<RunSummary> runs;
        if (!ledger->Runs(runs, error)) {
            return Refuse(error);
        }
        text = command.json ? FormatRunsJson(runs) : FormatRuns(runs, terminal);
    } else {
        std::vector<HistoryEntry> entries;
        if (!ledger->History(addresses, entries, error)) {
            return Refuse(error);
        }
        text = command.json ? FormatHistoryJson(entries) : FormatHistory(entries, terminal);
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : kResultRefused;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::signal(SIGPIPE, SIG_IGN);  // a reader that stops must not end the upgrades
    const ParsedCommand parsed = ParseFleetCommand(argc, argv);
    switch (parsed.kind) {
        case ParsedCommand::Kind::Help:
            std::fwrite(FleetUsage().data(), 1, FleetUsage().size(), stdout);
            return 0;
        case ParsedCommand::Kind::Version:
            std::printf("kalvoran-fleet %s\n", KALVORAN_VERSION);
            return 0;
        case ParsedCommand::Kind::UsageError:
            std::fprintf(stderr, "kalvoran-fleet: %s\nTry 'kalvoran-fleet --help'.\n",
                         parsed.error.c_str());
            return kResultRefused;
        case ParsedCommand::Kind::Run:
            break;
    }
    const FleetCommand& command = parsed.command;
    if (command.action == Action::History) {
        return RunHistory(command);
    }
    if (!command.reportPath.empty() && !ReportFormatFor(command.reportPath).has_value()) {
        return Refuse("report: " + command.reportPath + ": the name must end in .csv or .json");
    }
    const Inventory inventory = ReadInventory(command.inventoryPath);
    if (!inventory.errors.empty()) {
        for (const std::string& error : inventory.errors) {
            std::fprintf(stderr, "%s\n", error.c_str());
        }
        return kResultRefused;
    }
    std::int32_t fileLength = -1;
    if (command.action == Action::Send || command.action == Action::ConfigFile) {
        std::string reason;
        if (!CheckFile(command, fileLength, reason)) {
            return Refuse(reason);
        }
    }
    if ((command.action == Action::Eeprom || command.action == Action::ConfigFile) &&
        !IsFolder(command.folder)) {
        return Refuse("folder: " + command.folder + ": not a folder");
    }

    FleetPlan plan;
    plan.command = command;
    if (command.action == Action::Send || command.action == Action::ConfigFile) {
        // Taken once: a file replaced or changed during the run is refused by every agent's
        // send rather than sent to some of them.
        std::string why;
        plan.file = IdentifyFile(command.file, why);
        if (!plan.file) {
            return Refuse(command.file + ": " + why);
        }
    }
    plan.agents = inventory.agents;
    plan.logsFolder = command.logsFolder.empty() ? DefaultLogsFolder() : command.logsFolder;
    plan.deadlineSeconds = command.deadlineSeconds > 0 ? command.deadlineSeconds
                                                       : DefaultDeadline(command, fileLength);
    // What the run will write must not destroy what it reads or writes: both the run and
    // --check refuse it before anything is sent.
    if (const std::string refusal = LogsFolderRefusal(plan.logsFolder, !command.logsFolder.empty());
        !refusal.empty()) {
        return Refuse(refusal);
    }
    if (!command.reportPath.empty()) {
        std::vector<std::string> runFiles = {command.inventoryPath, command.file};
        for (const InventoryAgent& agent : plan.agents) {
            runFiles.push_back(DestinationOf(plan, agent));
            runFiles.push_back(LogPathOf(plan, agent));
        }
        if (const std::string refusal = ReportPathRefusal(command.reportPath, runFiles);
            !refusal.empty()) {
            return Refuse(refusal);
        }
    }
    // The ledger: written by a run, only read by --check (and only for --skip-current). One
    // that is not a ledger refuses the command; one that cannot be written now never stops the
    // run, which then says at its end what the ledger missed.
    const std::string ledgerPath = command.noLedger ? std::string() : LedgerPathOf(command);
    std::unique_ptr<Ledger> ledger;
    std::string ledgerProblem;
    if (!command.noLedger && ledgerPath.empty()) {
        ledgerProblem = "ledger: no place for it (neither XDG_STATE_HOME nor HOME is set)";
    } else if (!command.noLedger && (!command.check || command.skipCurrent)) {
        bool refused = false;
        if (!command.check) {
            if (command.ledgerPath.empty()) {
                std::error_code ignored;
                std::filesystem::create_directories(std::filesystem::path(ledgerPath).parent_path(),
                                                    ignored);
            }
            ledger = Ledger::Open(ledgerPath, Ledger::Mode::Write, ledgerProblem, &refused);
        }
        if (!ledger && !refused && command.skipCurrent) {
            // Read only (a read-only copy, a check): what is current can still be told.
            std::string readProblem;
            ledger = Ledger::Open(ledgerPath, Ledger::Mode::Read, readProblem, &refused);
            if (refused) {
                ledgerProblem = readProblem;
            }
        }
        if (refused) {
            return Refuse(ledgerProblem);
        }
    }
    Skips skips;
    if (command.skipCurrent && ledger && plan.file) {
        const std::string type(SendTypeWord(command.sendType));
        const std::string sha256 = HexOf(plan.file->sha256);
        for (const InventoryAgent& agent : plan.agents) {
            if (const auto current = ledger->Current(agent.address, type, sha256, command.verify)) {
                AgentRecord record;
                record.address = agent.address;
                record.label = agent.label;
                record.action = "send";
                record.reason = std::string(kAlreadyCurrent) + "run " +
                                std::to_string(current->run) + " of " + current->ended;
                record.status = current->status;
                skips.emplace(agent.address, std::move(record));
            }
        }
    }
    if (command.check) {
        PrintPlan(plan, skips);
        return 0;
    }
    std::error_code error;
    std::filesystem::create_directories(plan.logsFolder, error);
    if (error || !IsFolder(plan.logsFolder)) {
        return Refuse("logs: " + plan.logsFolder + ": " +
                      (error ? error.message() : std::string("not a folder")));
    }

    std::size_t labelWidth = 5;
    for (const InventoryAgent& agent : plan.agents) {
        labelWidth = std::max(labelWidth, agent.label.size());
    }
    constexpr std::size_t kWidestLabelColumn = 32;
    FleetView view(STDOUT_FILENO, ::isatty(STDOUT_FILENO) == 1,
                   static_cast<int>(std::min(labelWidth, kWidestLabelColumn)));
    Ledger* book = nullptr;
    if (ledger && ledgerProblem.empty()) {
        if (ledger->BeginRun(RunOf(plan, CommandLineText(argc, argv)), ledgerProblem)) {
            book = ledger.get();
        }
    }
    LedgerRecorder recorder(view, book, command.verify, ledgerProblem);
    FleetPlan running = plan;
    running.agents.clear();
    for (const InventoryAgent& agent : plan.agents) {
        if (const auto skip = skips.find(agent.address); skip != skips.end()) {
            AgentState state;
            state.agent = agent;
            state.record = skip->second;
            recorder.Skipped(state);
        } else {
            running.agents.push_back(agent);
        }
    }
    const FleetResult result =
        RunFleet(running, command.noLedger ? static_cast<FleetDisplay&>(view) : recorder);
    // Every agent of the inventory, in its order: those run and those skipped.
    std::vector<AgentRecord> records;
    {
        std::size_t next = 0;
        for (const InventoryAgent& agent : plan.agents) {
            if (const auto skip = skips.find(agent.address); skip != skips.end()) {
                records.push_back(skip->second);
            } else if (next < result.records.size()) {
                records.push_back(result.records[next++]);
            }
        }
    }
    if (result.atOnce) {
        std::fprintf(stderr,
                     "kalvoran-fleet: ended at once; agents that were running were "
                     "stopped where they were\n");
        return kResultRefused;
    }
    std::vector<std::string> notes;
    // A report that could not be written after all (a disk that filled up) is no success: the
    // summary names no report, and the exit code is not 0.
    bool reportWritten = true;
    if (!command.reportPath.empty()) {
        std::string reportError;
        reportWritten = WriteReport(command.reportPath, records, reportError);
        if (!reportWritten) {
            std::fprintf(stderr, "%s\n", reportError.c_str());
            notes.push_back(reportError + " (not written)");
        }
    }
    // The summary also says which file every agent got, and names the logs that a full disk (or
    // anything else) kept from being written, rather than leaving them as empty files.
    if (plan.file) {
        notes.push_back("sent " + command.file + ": SHA-256 " + HexOf(plan.file->sha256));
    }
    for (const std::string& problem : result.logProblems) {
        notes.push_back("log not written: " + problem);
    }
    if (!command.noLedger) {
        if (const std::string missed = recorder.Close(result.interrupted); !missed.empty()) {
            std::fprintf(stderr, "%s\n", missed.c_str());
            notes.push_back(missed);
        }
    }
    view.Summary(records, reportWritten ? command.reportPath : std::string(), plan.logsFolder,
                 notes);
    view.Flush();  // a stream that failed lost lines, not the exit code
    const int code = result.interrupted ? kResultRefused : FleetExitCode(records);
    return reportWritten ? code : std::max(code, kResultRefused);
}

// The fleet's ledger: every run and every agent attempt in an SQLite database, so that a site
// upgrade done in several runs can resume where it stopped (--skip-current) and anyone can ask
// what a card received and when (kalvoran-fleet history).
//
// Only the fleet's parent process opens it; it records each agent's attempts in one transaction
// as the agent finishes. The database runs in WAL mode with a busy time-out, so runs on one
// ledger at once (a site's shared ledger on a jump host) all record everything. It carries an
// application id and a schema version: a file that is not a ledger (another SQLite database, a
// text file, a truncated one) is refused and never written.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace kalvoran::fleet {

// The ledger's default place: $XDG_STATE_HOME/kalvoran/ledger.sqlite3, ~/.local/state when the
// variable is unset or not absolute; empty when neither it nor HOME is usable.
std::string DefaultLedgerPath();

// What a run records at its start.
struct LedgerRun {
    std::string started;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
    std::string host;
    std::string user;
    std::string commandLine;
    std::string action;  // "send", "eeprom", "configfile", "status"
    std::string type;    // a send's file type word ("image", ...); empty for the others
    std::string fileName;
    std::int64_t fileLength = -1;  // -1: no file
    std::string sha256;            // 64 hex digits, empty without a file
    std::string crc32;             // the stored CRC32 as the client shows it
    std::string options;           // "blksize 1468, windowsize 16", empty when none asked
    bool verify = false;
};

// One attempt at one agent.
struct LedgerAttempt {
    std::string address;
    std::string label;
    int result = 0;
    std::string reason;
    std::int64_t bytes = 0;
    double seconds = 0;
    int attempt = 1;  // 1 for the first
    std::string status;
    std::string started;
    std::string ended;
};

// The send that makes an agent current.
struct CurrentSend {
    std::int64_t run = 0;
    std::string ended;  // when that send ended (UTC)
    std::string status;
};

// The latest attempt of one action (and file type) at one agent, with its run's file.
struct HistoryEntry {
    std::string address;
    std::string label;
    std::string action;
    std::string type;
    int result = 0;
    std::string reason;
    std::int64_t bytes = 0;
    double seconds = 0;
    int attempts = 0;
    std::string status;
    std::string file;  // the run's file name
    std::string sha256;
    std::int64_t run = 0;
    std::string started;
    std::string ended;
};

struct RunSummary {
    std::int64_t run = 0;
    std::string started;
    std::string ended;  // empty while running, or when the run was killed
    std::string host;
    std::string user;
    std::string commandLine;
    std::string action;
    std::string type;
    std::string file;
    std::string sha256;
    bool interrupted = false;
    int agents = 0;  // agents with an attempt recorded
    int succeeded = 0;
    int skipped = 0;  // already current
};

class Ledger {
public:
    enum class Mode { Write, Read };

    // Opens the ledger at path; Write creates it (and its folder) when missing. nullptr, with
    // error set to "ledger: PATH: why", when it cannot be opened or is not a ledger; refused
    // says that it is not one (as opposed to a ledger that cannot be opened now).
    static std::unique_ptr<Ledger> Open(const std::string& path, Mode mode, std::string& error,
                                        bool* refused = nullptr);
    ~Ledger();
    Ledger(const Ledger&) = delete;
    Ledger& operator=(const Ledger&) = delete;

    const std::string& Path() const { return path; }

    // Records the run's start; its number afterwards in Run().
    bool BeginRun(const LedgerRun& run, std::string& error);
    std::int64_t Run() const { return runId; }
    // One agent's attempts, in one transaction. skipped: no attempt was made, the agent was
    // already current (attempt 0). verified: the send was checked by its final status.
    bool RecordAgent(const std::vector<LedgerAttempt>& attempts, bool verified, bool skipped,
                     std::string& error);
    bool EndRun(const std::string& ended, bool interrupted, std::string& error);

    // The agent's latest send of this file type that made a transfer, when it succeeded with
    // this file (and was verified, when requireVerified).
    std::optional<CurrentSend> Current(const std::string& address, const std::string& type,
                                       const std::string& sha256, bool requireVerified);
    // The latest attempt of each action and file type at each agent (all agents when addresses
    // is empty), by address, then action and type.
    bool History(const std::vector<std::string>& addresses, std::vector<HistoryEntry>& entries,
                 std::string& error);
    bool Runs(std::vector<RunSummary>& runs, std::string& error);

private:
    Ledger(sqlite3* database, std::string ledgerPath) : db(database), path(std::move(ledgerPath)) {}
    bool Execute(const char* sql, std::string& error);

    sqlite3* db;
    std::string path;
    std::int64_t runId = 0;
    LedgerRun current;
};

// "YYYY-MM-DDTHH:MM:SSZ": the ledger's times, in UTC; UtcNow of the system clock now.
std::string UtcText(std::chrono::system_clock::time_point when);
std::string UtcNow();

}  // namespace kalvoran::fleet

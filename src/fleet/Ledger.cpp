#include "fleet/Ledger.h"

#include <arpa/inet.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <utility>

namespace kalvoran::fleet {

namespace {

// "KLDG": what marks an SQLite database as a ledger.
constexpr int kApplicationId = 0x4B4C4447;
// The schema this program writes; a ledger of an older one is brought up to it, one of a newer
// one is refused.
constexpr int kSchemaVersion = 1;
constexpr int kBusyMilliseconds = 5000;

// Each step brings the schema from its index to the next version.
constexpr const char* kMigrations[kSchemaVersion] = {
    "CREATE TABLE runs ("
    "  id INTEGER PRIMARY KEY,"
    "  started TEXT NOT NULL,"
    "  ended TEXT,"
    "  host TEXT NOT NULL,"
    "  user TEXT NOT NULL,"
    "  command_line TEXT NOT NULL,"
    "  action TEXT NOT NULL,"
    "  type TEXT NOT NULL,"
    "  file_name TEXT NOT NULL,"
    "  file_length INTEGER NOT NULL,"
    "  file_sha256 TEXT NOT NULL,"
    "  file_crc32 TEXT NOT NULL,"
    "  options TEXT NOT NULL,"
    "  verify INTEGER NOT NULL,"
    "  interrupted INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE attempts ("
    "  id INTEGER PRIMARY KEY,"
    "  run_id INTEGER NOT NULL REFERENCES runs(id),"
    "  address TEXT NOT NULL,"
    "  label TEXT NOT NULL,"
    "  action TEXT NOT NULL,"
    "  type TEXT NOT NULL,"
    "  result INTEGER NOT NULL,"
    "  reason TEXT NOT NULL,"
    "  bytes INTEGER NOT NULL,"
    "  seconds REAL NOT NULL,"
    "  attempt INTEGER NOT NULL,"
    "  status TEXT NOT NULL,"
    "  started TEXT NOT NULL,"
    "  ended TEXT NOT NULL,"
    "  verified INTEGER NOT NULL,"
    "  skipped INTEGER NOT NULL);"
    "CREATE INDEX attempts_by_agent ON attempts(address, action, type, id);"
    "CREATE INDEX attempts_by_run ON attempts(run_id);",
};

// A prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        code = sqlite3_prepare_v2(db, sql, -1, &statement, nullptr);
        if (code != SQLITE_OK) {
            sqlite3_finalize(statement);
            statement = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(statement); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& Bind(const std::string& text) {
        sqlite3_bind_text(statement, ++bound, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& Bind(std::int64_t number) {
        sqlite3_bind_int64(statement, ++bound, number);
        return *this;
    }
    Statement& Bind(double number) {
        sqlite3_bind_double(statement, ++bound, number);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() {
        if (statement != nullptr) {
            code = sqlite3_step(statement);
        }
        return code;
    }
    // The primary code of the failed preparation or the last step.
    int Code() const { return code & 0xff; }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(statement, column); }
    double Real(int column) const { return sqlite3_column_double(statement, column); }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(statement, column);
        const int length = sqlite3_column_bytes(statement, column);
        return text == nullptr ? std::string()
                               : std::string(reinterpret_cast<const char*>(text),
                                             static_cast<std::size_t>(length));
    }

private:
    sqlite3_stmt* statement = nullptr;
    int bound = 0;
    int code = SQLITE_OK;
};

std::string Why(sqlite3* db) {
    return db == nullptr ? std::string("out of memory") : std::string(sqlite3_errmsg(db));
}

// One integer a query answers; false, with the primary error code, when the database cannot be
// read.
bool ReadNumber(sqlite3* db, const char* sql, std::int64_t& value, int& code) {
    Statement query(db, sql);
    if (query.Step() != SQLITE_ROW) {
        code = query.Code();
        return false;
    }
    value = query.Integer(0);
    return true;
}

// Codes that say the file is damaged or no database at all, as opposed to one that cannot be
// opened, locked or written now.
bool Damaged(int code) {
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

// What a file holds before SQLite opens it: SQLite would take a text file for a database that
// is "not a database" only when it first reads it, and an empty file for a new database.
enum class FileKind { Missing, Empty, Sqlite, Other, Unreadable };

FileKind KindOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return errno == ENOENT ? FileKind::Missing : FileKind::Unreadable;
    }
    if (!S_ISREG(status.st_mode)) {
        return FileKind::Other;
    }
    if (status.st_size == 0) {
        return FileKind::Empty;
    }
    std::ifstream file(path, std::ios::binary);
    char header[16] = {};
    if (!file.read(header, sizeof header)) {
        return file.is_open() ? FileKind::Other : FileKind::Unreadable;
    }
    return std::memcmp(header, "SQLite format 3", sizeof header) == 0 ? FileKind::Sqlite
                                                                      : FileKind::Other;
}

}  // namespace

std::string DefaultLedgerPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string folder;
    if (state != nullptr && state[0] == '/') {
        folder = state;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            return {};
        }
        folder = std::string(home) + "/.local/state";
    }
    return folder + "/kalvoran/ledger.sqlite3";
}

std::string UtcText(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string UtcNow() {
    return UtcText(std::chrono::system_clock::now());
}

std::unique_ptr<Ledger> Ledger::Open(const std::string& path, Mode mode, std::string& error,
                                     bool* refused) {
    const auto fail = [&](const std::string& why, bool notALedger) {
        error = "ledger: " + path + ": " + why;
        if (refused != nullptr) {
            *refused = notALedger;
        }
        return nullptr;
    };
    const FileKind kind = KindOf(path);
    if (kind == FileKind::Other) {
        return fail("not a ledger (not an SQLite database); left as it is", true);
    }
    if (kind == FileKind::Missing && mode == Mode::Read) {
        return fail("no ledger there", false);
    }
    const int flags =
        mode == Mode::Write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        const std::string why = Why(db);
        sqlite3_close(db);
        return fail(why, false);
    }
    std::unique_ptr<Ledger> ledger(new Ledger(db, path));
    sqlite3_busy_timeout(db, kBusyMilliseconds);
    sqlite3_extended_result_codes(db, 1);

    // Inside one write transaction, so that two runs creating the same new ledger create it
    // once; a reader only looks.
    if (mode == Mode::Write && !ledger->Execute("BEGIN IMMEDIATE", error)) {
        const int code = sqlite3_errcode(db) & 0xff;
        return fail(Damaged(code) ? "not a ledger (" + Why(db) + "); left as it is" : Why(db),
                    Damaged(code));
    }
    std::int64_t application = 0;
    std::int64_t version = 0;
    std::int64_t objects = 0;
    int code = SQLITE_OK;
    if (!ReadNumber(db, "PRAGMA application_id", application, code) ||
        !ReadNumber(db, "PRAGMA user_version", version, code) ||
        !ReadNumber(db, "SELECT count(*) FROM sqlite_master", objects, code)) {
        return fail(Damaged(code) ? "not a ledger (" + Why(db) + "); left as it is" : Why(db),
                    Damaged(code));
    }
    const bool fresh = application == 0 && objects == 0;
    if (!fresh && application != kApplicationId) {
        return fail("not a ledger (another SQLite database); left as it is", true);
    }
    if (version > kSchemaVersion) {
        return fail("written by a newer kalvoran-fleet (schema " + std::to_string(version) +
                        ", this one knows " + std::to_string(kSchemaVersion) + ")",
                    true);
    }
    // A damaged page shows here rather than halfway through a run.
    if (!fresh) {
        Statement check(db, "PRAGMA quick_check(1)");
        const int step = check.Step();
        if (step == SQLITE_ROW && check.Text(0) != "ok") {
            return fail("not a ledger (damaged: " + check.Text(0) + "); left as it is", true);
        }
        if (step != SQLITE_ROW) {
            return fail(
                Damaged(check.Code()) ? "not a ledger (" + Why(db) + "); left as it is" : Why(db),
                Damaged(check.Code()));
        }
    }
    if (mode == Mode::Read) {
        if (fresh) {
            return fail("an empty database, no ledger yet", false);
        }
        return ledger;
    }
    for (auto step = version; step < kSchemaVersion; ++step) {
        if (!ledger->Execute(kMigrations[step], error)) {
            return fail(
                "cannot be brought to schema " + std::to_string(kSchemaVersion) + ": " + Why(db),
                false);
        }
    }
    const std::string stamp = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                              "; PRAGMA user_version = " + std::to_string(kSchemaVersion);
    if (!ledger->Execute(stamp.c_str(), error) || !ledger->Execute("COMMIT", error)) {
        return fail(Why(db), false);
    }
    // WAL: readers and one writer at a time, each commit without waiting for the disk twice.
    if (!ledger->Execute("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL", error)) {
        return fail(Why(db), false);
    }
    return ledger;
}

Ledger::~Ledger() {
    sqlite3_close(db);
}

bool Ledger::Execute(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        error = "ledger: " + path + ": " + (message != nullptr ? message : Why(db));
        sqlite3_free(message);
        // The error stays for the caller to read (sqlite3_errcode) when nothing is to undo.
        if (sqlite3_get_autocommit(db) == 0) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        return false;
    }
    return true;
}

bool Ledger::BeginRun(const LedgerRun& run, std::string& error) {
    Statement insert(db,
                     "INSERT INTO runs (started, host, user, command_line, action, type, "
                     "file_name, file_length, file_sha256, file_crc32, options, verify) "
                     "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.Bind(run.started)
        .Bind(run.host)
        .Bind(run.user)
        .Bind(run.commandLine)
        .Bind(run.action)
        .Bind(run.type)
        .Bind(run.fileName)
        .Bind(run.fileLength)
        .Bind(run.sha256)
        .Bind(run.crc32)
        .Bind(run.options)
        .Bind(std::int64_t{run.verify ? 1 : 0});
    if (insert.Step() != SQLITE_DONE) {
        error = "ledger: " + path + ": " + Why(db);
        return false;
    }
    runId = sqlite3_last_insert_rowid(db);
    current = run;
    return true;
}

bool Ledger::RecordAgent(const std::vector<LedgerAttempt>& attempts, bool verified, bool skipped,
                         std::string& error) {
    if (runId == 0) {
        error = "ledger: " + path + ": the run was not recorded";
        return false;
    }
    if (!Execute("BEGIN IMMEDIATE", error)) {
        return false;
    }
    for (const LedgerAttempt& attempt : attempts) {
        Statement insert(db,
                         "INSERT INTO attempts (run_id, address, label, action, type, result, "
                         "reason, bytes, seconds, attempt, status, started, ended, verified, "
                         "skipped) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        insert.Bind(runId)
            .Bind(attempt.address)
            .Bind(attempt.label)
            .Bind(current.action)
            .Bind(current.type)
            .Bind(std::int64_t{attempt.result})
            .Bind(attempt.reason)
            .Bind(attempt.bytes)
            .Bind(attempt.seconds)
            .Bind(std::int64_t{attempt.attempt})
            .Bind(attempt.status)
            .Bind(attempt.started)
            .Bind(attempt.ended)
            .Bind(std::int64_t{verified && attempt.result == 0 ? 1 : 0})
            .Bind(std::int64_t{skipped ? 1 : 0});
        if (insert.Step() != SQLITE_DONE) {
            error = "ledger: " + path + ": " + Why(db);
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
    }
    return Execute("COMMIT", error);
}

bool Ledger::EndRun(const std::string& ended, bool interrupted, std::string& error) {
    Statement update(db, "UPDATE runs SET ended = ?, interrupted = ? WHERE id = ?");
    update.Bind(ended).Bind(std::int64_t{interrupted ? 1 : 0}).Bind(runId);
    if (update.Step() != SQLITE_DONE) {
        error = "ledger: " + path + ": " + Why(db);
        return false;
    }
    return true;
}

std::optional<CurrentSend> Ledger::Current(const std::string& address, const std::string& type,
                                           const std::string& sha256, bool requireVerified) {
    Statement latest(db,
                     "SELECT a.run_id, a.ended, a.status, a.result, a.verified, r.file_sha256 "
                     "FROM attempts a JOIN runs r ON r.id = a.run_id "
                     "WHERE a.address = ? AND a.action = 'send' AND a.type = ? AND a.skipped = 0 "
                     "ORDER BY a.id DESC LIMIT 1");
    latest.Bind(address).Bind(type);
    if (latest.Step() != SQLITE_ROW || latest.Integer(3) != 0 || latest.Text(5) != sha256 ||
        (requireVerified && latest.Integer(4) == 0)) {
        return std::nullopt;
    }
    return CurrentSend{latest.Integer(0), latest.Text(1), latest.Text(2)};
}

bool Ledger::History(const std::vector<std::string>& addresses, std::vector<HistoryEntry>& entries,
                     std::string& error) {
    Statement select(db,
                     "SELECT a.address, a.label, a.action, a.type, a.result, a.reason, a.bytes, "
                     "a.seconds, a.attempt, a.status, r.file_name, r.file_sha256, a.run_id, "
                     "a.started, a.ended FROM attempts a JOIN runs r ON r.id = a.run_id "
                     "WHERE a.id IN (SELECT max(id) FROM attempts WHERE skipped = 0 "
                     "GROUP BY address, action, type) ORDER BY a.address, a.action, a.type");
    int step = SQLITE_ROW;
    while ((step = select.Step()) == SQLITE_ROW) {
        HistoryEntry entry{select.Text(0),
                           select.Text(1),
                           select.Text(2),
                           select.Text(3),
                           static_cast<int>(select.Integer(4)),
                           select.Text(5),
                           select.Integer(6),
                           select.Real(7),
                           static_cast<int>(select.Integer(8)),
                           select.Text(9),
                           select.Text(10),
                           select.Text(11),
                           select.Integer(12),
                           select.Text(13),
                           select.Text(14)};
        bool wanted = addresses.empty();
        for (const std::string& address : addresses) {
            wanted = wanted || address == entry.address;
        }
        if (wanted) {
            entries.push_back(std::move(entry));
        }
    }
    if (step != SQLITE_DONE) {
        error = "ledger: " + path + ": " + Why(db);
        return false;
    }
    // The agents in the order asked, else by their addresses as numbers (10.0.0.9 before
    // 10.0.0.10); each agent's entries keep the query's order.
    const auto rank = [&addresses](const std::string& address) -> std::uint64_t {
        if (!addresses.empty()) {
            return static_cast<std::uint64_t>(
                std::find(addresses.begin(), addresses.end(), address) - addresses.begin());
        }
        in_addr parsed{};
        return ::inet_pton(AF_INET, address.c_str(), &parsed) == 1 ? ntohl(parsed.s_addr)
                                                                   : UINT64_MAX;
    };
    std::stable_sort(entries.begin(), entries.end(),
                     [&rank](const HistoryEntry& a, const HistoryEntry& b) {
                         return rank(a.address) < rank(b.address);
                     });
    return true;
}

bool Ledger::Runs(std::vector<RunSummary>& runs, std::string& error) {
    Statement select(
        db,
        "SELECT r.id, r.started, r.ended, r.host, r.user, r.command_line, r.action, r.type, "
        "r.file_name, r.file_sha256, r.interrupted, "
        "(SELECT count(DISTINCT address) FROM attempts WHERE run_id = r.id), "
        "(SELECT count(*) FROM attempts WHERE run_id = r.id AND result = 0 AND skipped = 0), "
        "(SELECT count(*) FROM attempts WHERE run_id = r.id AND skipped = 1) "
        "FROM runs r ORDER BY r.id");
    int step = SQLITE_ROW;
    while ((step = select.Step()) == SQLITE_ROW) {
        runs.push_back(RunSummary{
            select.Integer(0), select.Text(1), select.Text(2), select.Text(3), select.Text(4),
            select.Text(5), select.Text(6), select.Text(7), select.Text(8), select.Text(9),
            select.Integer(10) != 0, static_cast<int>(select.Integer(11)),
            static_cast<int>(select.Integer(12)), static_cast<int>(select.Integer(13))});
    }
    if (step != SQLITE_DONE) {
        error = "ledger: " + path + ": " + Why(db);
        return false;
    }
    return true;
}

}  // namespace kalvoran::fleet

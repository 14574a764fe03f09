// The fleet's ledger as a site upgrade uses it, against agent-sim processes on 127.0.36.x: a run
// interrupted by SIGINT and resumed with --skip-current, a changed image, --verify, two runs on
// one ledger at once, files that are not ledgers, ledgers that cannot be written, and what
// history shows.
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fleet/FleetLedger.h"
#include "fleet/Ledger.h"
#include "support/AgentFleet.h"
#include "support/ChildProcess.h"
#include "support/FleetProgram.h"
#include "support/Pattern.h"
#include "support/TempDir.h"

namespace kalvoran::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using fleet::Ledger;

class LedgerTest : public FleetTest {
protected:
    // Starts count agents on 127.0.36.<first>...; the inventory lists them, labelled.
    std::string StartAgents(int first, int count, const std::vector<std::string>& args = {}) {
        EXPECT_TRUE(agents.Start("127.0.36.", first, count, args)) << agents.Error();
        std::vector<std::string> lines;
        for (int k = 0; k < count; ++k) {
            lines.push_back("127.0.36." + std::to_string(first + k) + " card " + std::to_string(k));
        }
        return WriteInventory(lines, "site" + std::to_string(first) + ".txt");
    }
    // The agents (by address) whose folder holds image.bin equal to image; each copy is removed,
    // so that the next run's copies are told from this one's.
    std::set<std::string> Received(const std::string& image) {
        std::set<std::string> received;
        for (std::size_t i = 0; i < agents.Size(); ++i) {
            const fs::path copy = agents.Dir(i) / "image.bin";
            if (fs::exists(copy)) {
                if (ReadFileBytes(copy.string()) == image) {
                    received.insert(agents.Address(i));
                }
                fs::remove(copy);
            }
        }
        return received;
    }
    std::string Ledger() const { return dir.File("site.sqlite3"); }

    AgentFleet agents{dir.Path() / "agents"};
};

TEST_F(LedgerTest, AnInterruptedSiteUpgradeResumesWithOnlyTheCardsNotYetDone) {
    const std::string inventory = StartAgents(1, 6, {"--latency", "4"});
    const std::string image = PatternString(200 * 1024, 7);
    WriteFileBytes(dir.File("app.bin"), image);

    // Two at a time; interrupted once two cards are done.
    int output = -1;
    int errors = -1;
    const pid_t pid =
        Spawn({Fleet(), "--jobs", "2", "--logs", dir.File("logs"), "--ledger", Ledger(), "--report",
               dir.File("first.json"), "send", "image", dir.File("app.bin"), inventory},
              output, &errors);
    ASSERT_GT(pid, 0);
    std::string out;
    std::string err;
    ASSERT_TRUE(ReadUntil(output, out, Deadline(30000), " ok ")) << out;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(pid, SIGINT);
    ReadToEnd(output, out, errors, err, Deadline(30000));
    ASSERT_EQ(Reap(pid, Deadline(5000)), 2) << out << err;
    ::close(output);
    ::close(errors);
    std::set<std::string> done;
    for (const auto& [address, row] : ReportRows(dir.File("first.json"))) {
        if (row["result"] == 0) {
            done.insert(address);
        }
    }
    ASSERT_GE(done.size(), 1u) << out;
    ASSERT_LT(done.size(), 6u) << out;
    EXPECT_EQ(Received(image), done);

    // The rerun contacts only the others, and says why it leaves the first ones alone.
    RunResult rerun =
        RunFleet({"--ledger", Ledger(), "--skip-current", "--report", dir.File("second.json"),
                  "send", "image", dir.File("app.bin"), inventory});
    ASSERT_EQ(rerun.exitCode, 0) << rerun.output << rerun.errors;
    const std::set<std::string> sent = Received(image);
    EXPECT_EQ(sent.size() + done.size(), 6u);
    const auto rows = ReportRows(dir.File("second.json"));
    ASSERT_EQ(rows.size(), 6u);
    for (const auto& [address, row] : rows) {
        EXPECT_EQ(row["result"], 0) << row.dump();
        if (done.count(address) != 0) {
            EXPECT_EQ(sent.count(address), 0u) << address << " was contacted again";
            EXPECT_EQ(row["attempts"], 0) << row.dump();
            EXPECT_TRUE(row["reason"].get<std::string>().starts_with("already current: run 1 of "))
                << row.dump();
        } else {
            EXPECT_EQ(sent.count(address), 1u) << address << " was not sent the image";
        }
    }
    EXPECT_NE(rerun.output.find(std::to_string(done.size()) + "  skipped (already current)"),
              std::string::npos)
        << rerun.output;

    // A third run has nothing left to do; a changed image goes to every card.
    rerun = RunFleet(
        {"--ledger", Ledger(), "--skip-current", "send", "image", dir.File("app.bin"), inventory});
    EXPECT_EQ(rerun.exitCode, 0) << rerun.output;
    EXPECT_TRUE(Received(image).empty());
    const std::string changed = PatternString(200 * 1024, 8);
    WriteFileBytes(dir.File("app.bin"), changed);
    rerun = RunFleet(
        {"--ledger", Ledger(), "--skip-current", "send", "image", dir.File("app.bin"), inventory});
    EXPECT_EQ(rerun.exitCode, 0) << rerun.output;
    EXPECT_EQ(Received(changed).size(), 6u);

    // history: every card's latest send is the changed image, from the fourth run.
    const RunResult history = RunFleet({"--ledger", Ledger(), "history", "--json"});
    ASSERT_EQ(history.exitCode, 0) << history.errors;
    const Json entries = Json::parse(history.output, nullptr, false);
    ASSERT_TRUE(entries.is_array()) << history.output;
    ASSERT_EQ(entries.size(), 6u) << history.output;
    for (const Json& entry : entries) {
        EXPECT_EQ(entry["action"], "send");
        EXPECT_EQ(entry["type"], "image");
        EXPECT_EQ(entry["result"], 0);
        EXPECT_EQ(entry["run"], 4) << entry.dump();
        EXPECT_EQ(entry["bytes"], 200 * 1024);
        EXPECT_TRUE(entry["label"].get<std::string>().starts_with("card ")) << entry.dump();
    }
    const RunResult runs = RunFleet({"--ledger", Ledger(), "history", "--runs", "--json"});
    const Json listed = Json::parse(runs.output, nullptr, false);
    ASSERT_TRUE(listed.is_array() && listed.size() == 4u) << runs.output;
    EXPECT_TRUE(listed[0]["interrupted"].get<bool>());
    EXPECT_EQ(listed[1]["skipped"], static_cast<int>(done.size()));
    EXPECT_EQ(listed[2]["skipped"], 6);
    EXPECT_EQ(listed[3]["succeeded"], 6);
}

TEST_F(LedgerTest, OnlyAVerifiedSendIsCurrentForAVerifyingRun) {
    const std::string inventory = StartAgents(20, 2);
    const std::string image = PatternString(4096, 3);
    WriteFileBytes(dir.File("app.bin"), image);
    RunResult run = RunFleet({"send", "image", dir.File("app.bin"), inventory});
    ASSERT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_EQ(Received(image).size(), 2u);

    // The default ledger ($XDG_STATE_HOME) took the unverified send: --verify sends again, and
    // --check says so before.
    run = RunFleet(
        {"--check", "--verify", "--skip-current", "send", "image", dir.File("app.bin"), inventory});
    EXPECT_EQ(run.output.find("skipped"), std::string::npos) << run.output;
    run = RunFleet({"--verify", "--skip-current", "send", "image", dir.File("app.bin"), inventory});
    ASSERT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_EQ(Received(image).size(), 2u);
    run = RunFleet(
        {"--check", "--verify", "--skip-current", "send", "image", dir.File("app.bin"), inventory});
    EXPECT_NE(run.output.find("2 skipped (already current)"), std::string::npos) << run.output;
    // Another file type is another send.
    run = RunFleet({"--skip-current", "send", "config", dir.File("app.bin"), inventory});
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output.find("already current"), std::string::npos) << run.output;
    EXPECT_TRUE(fs::exists(dir.File("state/kalvoran/ledger.sqlite3")));
}

TEST_F(LedgerTest, TwoRunsOnOneLedgerAtOnceBothRecordEverything) {
    const std::string first = StartAgents(30, 4, {"--latency", "2"});
    const std::string second = StartAgents(40, 4, {"--latency", "2"});
    WriteFileBytes(dir.File("app.bin"), PatternString(64 * 1024, 5));
    int outputs[2] = {-1, -1};
    pid_t pids[2] = {};
    const std::string inventories[2] = {first, second};
    for (int k = 0; k < 2; ++k) {
        pids[k] =
            Spawn({Fleet(), "--jobs", "4", "--logs", dir.File("logs" + std::to_string(k)),
                   "--ledger", Ledger(), "send", "image", dir.File("app.bin"), inventories[k]},
                  outputs[k]);
        ASSERT_GT(pids[k], 0);
    }
    for (int k = 0; k < 2; ++k) {
        std::string out;
        std::string none;
        ReadToEnd(outputs[k], out, -1, none, Deadline(60000));
        ::close(outputs[k]);
        EXPECT_EQ(Reap(pids[k], Deadline(5000)), 0) << out;
        EXPECT_EQ(out.find("not recorded"), std::string::npos) << out;
    }
    const RunResult history = RunFleet({"--ledger", Ledger(), "history", "--json"});
    const Json entries = Json::parse(history.output, nullptr, false);
    ASSERT_TRUE(entries.is_array()) << history.output << history.errors;
    EXPECT_EQ(entries.size(), 8u) << history.output;
    const Json runs =
        Json::parse(RunFleet({"--ledger", Ledger(), "history", "--runs", "--json"}).output);
    ASSERT_EQ(runs.size(), 2u);
    for (const Json& run : runs) {
        EXPECT_EQ(run["succeeded"], 4) << run.dump();
        EXPECT_NE(run["ended"], "") << run.dump();
    }
}

// A file that is not a ledger refuses the run before any agent is contacted, and is left as it
// was; so is one that a newer program wrote.
TEST_F(LedgerTest, AFileThatIsNotALedgerIsRefusedAndLeftAsItIs) {
    const std::string inventory = StartAgents(50, 1);
    WriteFileBytes(dir.File("app.bin"), PatternString(4096, 1));
    // A real ledger, to cut short and to stamp with a newer schema.
    ASSERT_EQ(RunFleet({"--ledger", Ledger(), "status", inventory}).exitCode, 0);
    const std::string ledger = ReadFileBytes(Ledger());
    const auto sqlite = [this](const std::string& name, const char* sql) {
        sqlite3* db = nullptr;
        sqlite3_open(dir.File(name).c_str(), &db);
        sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        sqlite3_close(db);
        return ReadFileBytes(dir.File(name));
    };
    const struct {
        const char* name;
        std::string content;  // empty: made by sqlite below
        const char* why;
    } cases[] = {
        {"notes.txt", "10.4.2.17 flashed on Monday\n", "not an SQLite database"},
        {"truncated.sqlite3", ledger.substr(0, 4096 + 100), "not a ledger"},
        {"other.sqlite3", sqlite("other.sqlite3", "CREATE TABLE cards (address TEXT)"),
         "another SQLite database"},
        {"newer.sqlite3", "", "newer kalvoran-fleet"},
    };
    fs::copy_file(Ledger(), dir.File("newer.sqlite3"));
    const std::string newer = sqlite("newer.sqlite3", "PRAGMA user_version = 99");
    for (const auto& c : cases) {
        const std::string path = dir.File(c.name);
        const std::string before = c.content.empty() ? newer : c.content;
        if (!c.content.empty()) {
            WriteFileBytes(path, c.content);
        }
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"--ledger", path, "send", "image", dir.File("app.bin"),
                                       inventory},
              std::vector<std::string>{"--ledger", path, "history"}}) {
            const RunResult run = RunFleet(args);
            EXPECT_EQ(run.exitCode, 2) << c.name << ": " << run.output;
            EXPECT_NE(run.errors.find(c.why), std::string::npos) << c.name << ": " << run.errors;
            EXPECT_EQ(ReadFileBytes(path), before) << c.name << " was changed";
        }
        EXPECT_TRUE(Received(PatternString(4096, 1)).empty()) << c.name;
    }
}

// A ledger that cannot be written never stops an upgrade: every card is upgraded, the report
// is complete, the exit code is the run's, and the end says what the ledger missed.
TEST_F(LedgerTest, ALedgerThatCannotBeWrittenNeverStopsTheUpgrade) {
    const std::string inventory = StartAgents(60, 2);
    const std::string image = PatternString(8192, 2);
    WriteFileBytes(dir.File("app.bin"), image);
    fs::create_directories(dir.File("ro"));
    fs::create_directories(dir.File("full"));
    const std::string fleet =
        Fleet() + " --logs " + dir.File("logs") + " --report " + dir.File("r.json") + " --ledger ";
    const std::string tail = " send image " + dir.File("app.bin") + " " + inventory;
    const struct {
        const char* name;
        std::string script;  // run by sh in a mount namespace of its own
    } cases[] = {
        // An existing ledger on a file system mounted read-only.
        {"read-only", fleet + dir.File("ro/l.sqlite3") + " status " + inventory +
                          " >/dev/null && "
                          "mount --bind " +
                          dir.File("ro") + " " + dir.File("ro") + " && mount -o remount,ro,bind " +
                          dir.File("ro") + " && " + fleet + dir.File("ro/l.sqlite3") + tail},
        // A file system with no room left.
        {"full", "mount -t tmpfs -o size=1m tmpfs " + dir.File("full") + " && " + fleet +
                     dir.File("full/l.sqlite3") + " status " + inventory +
                     " >/dev/null && "
                     "cat /dev/zero > " +
                     dir.File("full/filler") + " 2>/dev/null; " + fleet +
                     dir.File("full/l.sqlite3") + tail},
        // A folder that is not there.
        {"vanished", fleet + dir.File("gone/l.sqlite3") + tail},
    };
    for (const auto& c : cases) {
        const RunResult run = RunProgram({"unshare", "-m", "sh", "-c", c.script}, 60000, true);
        EXPECT_EQ(run.exitCode, 0) << c.name << ": " << run.output << run.errors;
        EXPECT_EQ(Received(image).size(), 2u) << c.name;
        const auto rows = ReportRows(dir.File("r.json"));
        EXPECT_EQ(rows.size(), 2u) << c.name;
        EXPECT_NE(run.errors.find("the results of 2 agents were not recorded"), std::string::npos)
            << c.name << ": " << run.errors;
        const std::size_t note = run.output.find("not recorded (");
        ASSERT_NE(note, std::string::npos) << c.name << ": " << run.output;
        EXPECT_NE(run.output.find("127.0.36.60", note), std::string::npos) << run.output;
        EXPECT_NE(run.output.find("127.0.36.61", note), std::string::npos) << run.output;
        fs::remove(dir.File("r.json"));
    }
}

TEST(LedgerHistory, ATerminalGetsABlockPerCardOrRunAPipeOneLineOfFieldsPerEntry) {
    const std::vector<fleet::HistoryEntry> entries = {
        {"10.4.2.17", "rack 1", "send", "image", 0, "", 1000, 2.5, 1,
         "Memory compare Flash/Ram is OK", "app.bin", std::string(64, 'a'), 3,
         "2026-12-10T05:00:00Z", "2026-12-10T05:00:03Z"},
        {"10.4.2.17", "rack 1", "eeprom", "", 3, "Timed out.", 0, 6, 2, "", "", "", 4,
         "2026-12-10T06:00:00Z", "2026-12-10T06:00:06Z"},
        {"10.4.2.18", "", "send", "image", 0, "", 1000, 2.5, 1, "", "app.bin", std::string(64, 'b'),
         3, "2026-12-10T05:00:00Z", "2026-12-10T05:00:04Z"},
    };
    EXPECT_EQ(fleet::FormatHistory(entries, true),
              "10.4.2.17  rack 1\n"
              "  send image        ok     2026-12-10T05:00:03Z  run 3  app.bin aaaaaaaaaaaa  "
              "Memory compare Flash/Ram is OK\n"
              "  eeprom            FAIL 3 2026-12-10T06:00:06Z  run 4  Timed out.\n"
              "\n"
              "10.4.2.18\n"
              "  send image        ok     2026-12-10T05:00:04Z  run 3  app.bin bbbbbbbbbbbb\n");
    const std::string piped = fleet::FormatHistory(entries, false);
    EXPECT_EQ(piped.substr(0, piped.find('\n')),
              "10.4.2.17\track 1\tsend image\t0\tapp.bin\taaaaaaaaaaaa\t2026-12-10T05:00:03Z\t"
              "run 3\tMemory compare Flash/Ram is OK\t");
    EXPECT_EQ(std::count(piped.begin(), piped.end(), '\n'), 3);
    const Json json = Json::parse(fleet::FormatHistoryJson(entries));
    EXPECT_EQ(json[1]["reason"], "Timed out.");
    EXPECT_EQ(json[1]["attempts"], 2);
    EXPECT_EQ(json[0]["sha256"], std::string(64, 'a'));

    const std::vector<fleet::RunSummary> runs = {
        {7, "2026-12-10T05:00:00Z", "", "jump-1", "field", "kalvoran-fleet send image a.bin s.txt",
         "send", "image", "a.bin", std::string(64, 'c'), true, 6, 4, 0}};
    EXPECT_EQ(fleet::FormatRuns(runs, true),
              "run 7  2026-12-10T05:00:00Z .. (no end recorded)  field@jump-1\n"
              "  send image  a.bin cccccccccccc  agents 6, succeeded 4, skipped 0, interrupted\n"
              "  kalvoran-fleet send image a.bin s.txt\n");
    EXPECT_EQ(
        fleet::FormatRuns(runs, false),
        "7\t2026-12-10T05:00:00Z\t\tfield@jump-1\tsend image\ta.bin\tcccccccccccc\t"
        "agents 6, succeeded 4, skipped 0, interrupted\tkalvoran-fleet send image a.bin s.txt\n");
}

}  // namespace
}  // namespace kalvoran::testing

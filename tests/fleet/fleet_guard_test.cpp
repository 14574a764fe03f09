// kalvoran-fleet against what a demanding user does to it: a file replaced during the run, a
// report that would overwrite an input, logs through links, a full disk, a fleet killed with its
// workers running, a worker killed in the middle of a fetch, and inputs at their edges. Real
// agent-sim processes on 127.0.24.x.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "support/AgentFleet.h"
#include "support/ChildProcess.h"
#include "support/Pattern.h"
#include "support/ProgramPath.h"
#include "support/TempDir.h"

namespace kalvoran::testing {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

class FleetGuardTest : public ::testing::Test {
protected:
    // The fleet's ledger goes into the test's folder.
    FleetGuardTest() { ::setenv("XDG_STATE_HOME", dir.File("state").c_str(), 1); }

    std::string Inventory(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) {
            text += line + "\n";
        }
        const std::string path = dir.File("inventory" + std::to_string(++inventories) + ".txt");
        WriteFileBytes(path, text);
        return path;
    }
    RunResult Fleet(std::vector<std::string> args, int timeoutMs = 60000) {
        args.insert(args.begin(), (BinDir() / "kalvoran-fleet").string());
        return RunProgram(args, timeoutMs, true);
    }
    // The pids of the processes whose parent is pid.
    static std::vector<pid_t> ChildrenOf(pid_t pid) {
        std::vector<pid_t> children;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            const std::string stat = ReadFileBytes((entry.path() / "stat").string());
            const std::size_t close = stat.rfind(')');
            int parent = 0;
            if (close != std::string::npos &&
                std::sscanf(stat.c_str() + close + 1, " %*c %d", &parent) == 1 && parent == pid) {
                children.push_back(static_cast<pid_t>(std::stoi(entry.path().filename())));
            }
        }
        return children;
    }
    static bool Ended(pid_t pid) {
        const std::string stat = ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t close = stat.rfind(')');
        return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
    }

    TempDir dir;
    int inventories = 0;
};

// Every agent of a run gets the file that was checked: one replaced after the first agent
// started is refused by the next one's send, and the run says which SHA-256 it sent.
TEST_F(FleetGuardTest, AFileReplacedDuringTheRunReachesNoAgent) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.24.", 1, 2)) << agents.Error();
    const std::string image = PatternString(20000, 3);
    WriteFileBytes(dir.File("app.bin"), image);
    std::thread replacer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        WriteFileBytes(dir.File("new.bin"), PatternString(100, 4));
        fs::rename(dir.File("new.bin"), dir.File("app.bin"));
    });
    const RunResult run =
        Fleet({"--jobs", "1", "--pause", "1.5", "--logs", dir.File("logs"), "--report",
               dir.File("r.json"), "send", "image", dir.File("app.bin"),
               Inventory({agents.Address(0), agents.Address(1)})});
    replacer.join();
    EXPECT_EQ(run.exitCode, 2) << run.output << run.errors;
    EXPECT_TRUE(ReadFileBytes((agents.Dir(0) / "image.bin").string()) == image);
    EXPECT_FALSE(fs::exists(agents.Dir(1) / "image.bin")) << "the new file reached no agent";
    const Json rows = Json::parse(ReadFileBytes(dir.File("r.json")), nullptr, false);
    ASSERT_TRUE(rows.is_array() && rows.size() == 2) << rows.dump();
    EXPECT_EQ(rows[1]["result"], 2);
    EXPECT_NE(rows[1]["reason"].get<std::string>().find("File changed since it was checked"),
              std::string::npos)
        << rows[1].dump();
    EXPECT_NE(run.output.find("SHA-256 "), std::string::npos) << run.output;
}

// A report may not destroy what the run reads or writes, and one that cannot be written is
// refused before anything is sent: by the run and by --check alike.
TEST_F(FleetGuardTest, AReportThatWouldDestroyAFileOrCannotBeWrittenIsRefusedFirst) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.24.", 10, 1)) << agents.Error();
    const std::string agent = agents.Address(0);
    WriteFileBytes(dir.File("app.bin"), PatternString(3000, 5));
    WriteFileBytes(dir.File("inv.csv"), agent + "\n");  // an inventory with a report's name
    const std::string inventory = Inventory({agent});
    fs::create_directories(dir.Path() / "backups");
    fs::create_directories(dir.Path() / "adir.csv");
    const std::string backup = dir.File("backups/" + agent + ".eeprom.bin");
    WriteFileBytes(backup, "yesterday's backup");
    fs::create_symlink(dir.File("app.bin"), dir.File("to-image.csv"));
    fs::create_symlink(backup, dir.File("to-backup.json"));
    fs::create_symlink("/dev/full", dir.File("full.csv"));
    const std::vector<std::string> send = {"send", "image", dir.File("app.bin"), inventory};
    const struct {
        const char* label;
        std::string report;
        std::vector<std::string> command;
    } cases[] = {
        {"the inventory",
         dir.File("inv.csv"),
         {"send", "image", dir.File("app.bin"), dir.File("inv.csv")}},
        {"a link to the file sent", dir.File("to-image.csv"), send},
        {"a link to a fetch target",
         dir.File("to-backup.json"),
         {"eeprom", dir.File("backups"), inventory}},
        {"a missing folder", dir.File("gone/r.csv"), send},
        {"a folder", dir.File("adir.csv"), send},
        {"a device", dir.File("full.csv"), send},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        for (const char* check : {"--check", "--jobs=1"}) {
            std::vector<std::string> args = {check, "--logs", dir.File("logs"), "--report",
                                             c.report};
            args.insert(args.end(), c.command.begin(), c.command.end());
            const RunResult run = Fleet(args);
            EXPECT_EQ(run.exitCode, 2) << run.output << run.errors;
            EXPECT_NE(run.errors.find("report: "), std::string::npos) << run.errors;
            EXPECT_FALSE(fs::exists(agents.Dir(0) / "image.bin")) << "nothing was sent";
        }
    }
    EXPECT_EQ(ReadFileBytes(dir.File("inv.csv")), agent + "\n");
    EXPECT_EQ(ReadFileBytes(dir.File("app.bin")), PatternString(3000, 5));
    EXPECT_EQ(ReadFileBytes(backup), "yesterday's backup");
}

// Logs never follow a link: a link planted under an agent's log name is left alone (and what it
// points to), the summary names the log that was not written, and a default logs folder that is
// a link is refused; --check refuses a logs "folder" that is a file as the run does.
TEST_F(FleetGuardTest, LogsFollowNoLinkAndTheSummaryNamesALogNotWritten) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.24.", 20, 1)) << agents.Error();
    const std::string inventory = Inventory({agents.Address(0)});
    fs::create_directories(dir.Path() / "logs");
    WriteFileBytes(dir.File("victim.txt"), "keep me");
    fs::create_symlink(dir.File("victim.txt"), dir.File("logs/" + agents.Address(0) + ".log"));
    RunResult run = Fleet({"--logs", dir.File("logs"), "status", inventory});
    EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_EQ(ReadFileBytes(dir.File("victim.txt")), "keep me");
    EXPECT_NE(run.output.find("log not written: " + dir.File("logs/" + agents.Address(0)) + ".log"),
              std::string::npos)
        << run.output;

    for (const bool check : {true, false}) {
        std::vector<std::string> args = {"--logs", dir.File("victim.txt"), "status", inventory};
        if (check) {
            args.insert(args.begin(), "--check");
        }
        run = Fleet(args);
        EXPECT_EQ(run.exitCode, 2) << run.output;
        EXPECT_NE(run.errors.find("logs: "), std::string::npos) << run.errors;
    }

    fs::create_directories(dir.Path() / "elsewhere");
    fs::create_symlink(dir.Path() / "elsewhere", dir.Path() / "kalvoran-fleet-logs");
    run = RunProgram({"env", "-C", dir.Path().string(), (BinDir() / "kalvoran-fleet").string(),
                      "status", inventory},
                     60000, true);
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_TRUE(fs::is_empty(dir.Path() / "elsewhere"));
}

// A full disk: the logs it could not take are named in the summary, and a report it could not
// take after all makes the exit code non-zero and says so. Each run is in a mount namespace of
// its own, on a small file system filled up first.
TEST_F(FleetGuardTest, AFullDiskLosesNoWordAboutLogsOrTheReport) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.24.", 60, 1)) << agents.Error();
    const std::string inventory = Inventory({agents.Address(0)});
    const std::string fleet = (BinDir() / "kalvoran-fleet").string();
    const struct {
        const char* label;
        const char* options;
        int exitCode;
        const char* said;
    } cases[] = {
        {"logs", "--logs full/logs --report ok.json", 0, "log not written: full/logs/"},
        {"report", "--logs logs --report full/r.json", 2, "(not written)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path work = dir.Path() / c.label;
        fs::create_directories(work);
        const std::string script =
            "cd " + work.string() +
            " && mkdir full && mount -t tmpfs -o size=16k tmpfs full && mkdir full/logs && "
            "(dd if=/dev/zero of=full/fill bs=1k count=64 2>/dev/null; true) && " +
            fleet + " " + c.options + " status " + inventory;
        const RunResult run = RunProgram(
            {"unshare", "--mount", "--propagation", "private", "sh", "-c", script}, 30000, true);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.output << run.errors;
        EXPECT_NE(run.output.find(c.said), std::string::npos) << run.output;
    }
}

// Workers never outlive the fleet: killed with SIGKILL mid-transfer, its workers end too.
TEST_F(FleetGuardTest, WorkersEndWhenTheFleetIsKilled) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.24.", 30, 2, {"--latency", "20"})) << agents.Error();
    WriteFileBytes(dir.File("app.bin"), PatternString(512 * 600, 6));  // 12 s at 20 ms a block
    int output = -1;
    const pid_t fleet =
        Spawn({(BinDir() / "kalvoran-fleet").string(), "--logs", dir.File("logs"), "send", "image",
               dir.File("app.bin"), Inventory({agents.Address(0), agents.Address(1)})},
              output);
    ASSERT_GT(fleet, 0);
    std::vector<pid_t> workers;
    for (const auto giveUp = Deadline(10000);
         workers.size() < 2 && std::chrono::steady_clock::now() < giveUp;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        workers = ChildrenOf(fleet);
    }
    ASSERT_EQ(workers.size(), 2u);
    ::kill(fleet, SIGKILL);
    Reap(fleet, Deadline(5000));
    ::close(output);
    const auto giveUp = Deadline(5000);
    while (!(Ended(workers[0]) && Ended(workers[1])) && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(Ended(workers[0]) && Ended(workers[1])) << "a worker outlived the fleet";
}

// A fetch stopped at its deadline leaves nothing beside its target.
TEST_F(FleetGuardTest, AFetchKilledAtItsDeadlineLeavesNoPartialFile) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.24.", 40, 1, {"--latency", "60"})) << agents.Error();
    fs::create_directories(dir.Path() / "backups");
    const RunResult run = Fleet({"--deadline", "2", "--logs", dir.File("logs"), "eeprom",
                                 dir.File("backups"), Inventory({agents.Address(0)})});
    EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
    EXPECT_TRUE(fs::is_empty(dir.Path() / "backups")) << "no partial copy is left";
}

// Edges of the input: no hexadecimal seconds, no broadcast or multicast agent, and an image of
// 2 GiB refused as too big, not as empty.
TEST_F(FleetGuardTest, InputsAtTheirEdgesAreRefusedWithTheirReason) {
    WriteFileBytes(dir.File("huge.bin"), "x");
    ASSERT_EQ(::truncate(dir.File("huge.bin").c_str(), off_t{2} << 30), 0);  // sparse
    WriteFileBytes(dir.File("app.bin"), PatternString(100, 7));
    const struct {
        std::vector<std::string> args;
        const char* said;
    } cases[] = {
        {{"--check", "--pause", "0x10", "status", Inventory({"127.0.24.50"})}, "--pause"},
        {{"--check", "status", Inventory({"127.0.24.50", "255.255.255.255", "239.1.2.3 labs"})},
         "inventory:3: a multicast address"},
        {{"--check", "status", Inventory({"127.0.24.50", "255.255.255.255"})},
         "inventory:2: 255.255.255.255 is a broadcast address"},
        {{"--check", "send", "image", dir.File("huge.bin"), Inventory({"127.0.24.50"})},
         "!! File too big for a TFTP transfer"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        const RunResult run = Fleet(c.args);
        EXPECT_EQ(run.exitCode, 2) << run.output << run.errors;
        EXPECT_NE(run.errors.find(c.said), std::string::npos) << run.errors;
    }
}

// --blksize and --windowsize take a whole number in their range, or the run is refused before
// anything is sent; --check's plan names them on one line, and nothing when none is asked.
TEST_F(FleetGuardTest, BlockAndWindowSizesAreCheckedAndNamedInThePlan) {
    const std::string inventory = Inventory({"127.0.28.10 cab"});
    const auto fleet = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--logs", dir.File("logs"), "status", inventory});
        return Fleet(args);
    };
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--blksize", "7"},
                                                    {"--blksize=65465"},
                                                    {"--blksize", "+512"},
                                                    {"--windowsize", "0"},
                                                    {"--windowsize", "65"}}) {
        SCOPED_TRACE(options.back());
        const RunResult run = fleet(options);
        EXPECT_EQ(run.exitCode, 2);
        const std::string said = options[0].starts_with("--blksize")
                                     ? "--blksize takes a number from 8 to 65464"
                                     : "--windowsize takes a number from 1 to 64";
        EXPECT_EQ(run.errors, "kalvoran-fleet: " + said + "\nTry 'kalvoran-fleet --help'.\n");
        EXPECT_EQ(run.output, "");
        EXPECT_FALSE(fs::exists(dir.Path() / "logs")) << "nothing run";
    }
    RunResult run = fleet({"--check", "--blksize", "1468", "--windowsize", "16"});
    EXPECT_NE(run.output.find("\noptions: blksize 1468, windowsize 16\n"), std::string::npos)
        << run.output;
    run = fleet({"--check", "--windowsize=64"});
    EXPECT_NE(run.output.find("\noptions: windowsize 64\n"), std::string::npos) << run.output;
    run = fleet({"--check"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output.find("options:"), std::string::npos) << run.output;
}

}  // namespace
}  // namespace kalvoran::testing

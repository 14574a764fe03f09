// kalvoran-fleet run as an engineer runs it, against real agent-sim processes on loopback
// addresses of each test's own (127.0.16.x to 127.0.19.x, 127.0.23.x): what every agent stored, the
// exit code, the report read back, the lines on standard output with and without a terminal, and a
// cancel by SIGINT. The mix of failures runs in a private network namespace, where an address
// off loopback has no route and so answers no ping.
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "agent-sim/AgentFiles.h"
#include "agent-sim/AgentSim.h"
#include "net/ping_test_support.h"
#include "support/AgentFleet.h"
#include "support/ChildProcess.h"
#include "support/FleetProgram.h"
#include "support/Pattern.h"
#include "support/ProgramPath.h"
#include "support/StalledPipe.h"
#include "support/TempDir.h"
#include "support/TextLines.h"

namespace kalvoran::testing {
namespace {

using Json = nlohmann::json;

TEST_F(FleetTest, TwentyAgentsAreUpgradedByteForByteFiveAtATime) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.16.", 1, 20)) << agents.Error();
    std::vector<std::string> inventory = {"# the whole site"};
    for (std::size_t i = 0; i < agents.Size(); ++i) {
        inventory.push_back(agents.Address(i) + "  card " + std::to_string(i));
    }
    const std::string image = PatternString(70000, 5);
    WriteFileBytes(dir.File("app.bin"), image);
    const RunResult run = RunFleet({"--jobs", "5", "--report", dir.File("report.csv"), "send",
                                    "image", dir.File("app.bin"), WriteInventory(inventory)});
    ASSERT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_EQ(run.errors, "");
    for (std::size_t i = 0; i < agents.Size(); ++i) {
        EXPECT_TRUE(ReadFileBytes((agents.Dir(i) / "image.bin").string()) == image)
            << agents.Address(i);
        const std::string log = ReadFileBytes(dir.File("logs/" + agents.Address(i) + ".log"));
        EXPECT_NE(log.find("Sending file: app.bin as image.bin"), std::string::npos) << log;
    }
    // Not a terminal: one line per agent, then the summary.
    const std::vector<std::string> lines = Lines(run.output);
    ASSERT_GE(lines.size(), 20u);
    for (std::size_t i = 0; i < 20; ++i) {
        EXPECT_NE(lines[i].find(" ok "), std::string::npos) << lines[i];
    }
    EXPECT_EQ(run.output.find('\x1b'), std::string::npos) << "no terminal control off a terminal";
    EXPECT_NE(run.output.find("agents 20, upgraded 20, failed 0"), std::string::npos);

    // The CSV report: the header and one row per agent with its numbers.
    const std::vector<std::string> rows = Lines(ReadFileBytes(dir.File("report.csv")));
    ASSERT_EQ(rows.size(), 21u);
    EXPECT_EQ(rows[0], "address,label,action,result,reason,bytes,seconds,attempts,status\r");
    for (std::size_t i = 1; i < rows.size(); ++i) {
        EXPECT_NE(rows[i].find(",send,0,,70000,"), std::string::npos) << rows[i];
        EXPECT_TRUE(rows[i].ends_with(",1,\r")) << rows[i];
    }
}

// One run with every kind of failure: each agent's row says what happened to it, and the exit
// code is the worst of them.
TEST_F(FleetTest, EachAgentsFailureIsItsOwnAndTheExitCodeIsTheWorst) {
    const std::string report = dir.File("mix.json");
    const std::string image = PatternString(256 * 1024, 9);
    WriteFileBytes(dir.File("app.bin"), image);
    const int exitCode = net::testing::RunInPrivateNetwork({false, true}, [&] {
        AgentFleet agents(dir.Path() / "agents");
        const bool started = agents.Start(std::vector<AgentLaunch>{
            {"127.0.17.1"},
            {"127.0.17.2", {"--fault", "error:image.bin:2:no room"}},
            {"127.0.17.3", {"--status-final", "Memory compare Flash/Ram is in error"}},
            {"127.0.17.4", {"--latency", "20"}},
        });
        if (!started) {
            std::fprintf(stderr, "%s", agents.Error().c_str());
            return 201;
        }
        const std::string inventory = WriteInventory(
            {"127.0.17.1 good", "127.0.17.2 refuses", "127.0.17.3 bad flash", "127.0.17.4 dies",
             "127.0.17.5 nobody on port 69", "10.99.0.2 no route, no ping"});
        std::thread killer([&agents] {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            agents.Kill(3);  // mid-transfer: 512 blocks at 20 ms each take ten seconds
        });
        const RunResult run = RunFleet({"--jobs", "6", "--verify", "--report", report, "send",
                                        "image", dir.File("app.bin"), inventory});
        killer.join();
        WriteFileBytes(dir.File("mix.out"), run.output + run.errors);
        const bool stored = ReadFileBytes((agents.Dir(0) / "image.bin").string()) == image;
        return stored ? run.exitCode : 202;
    });
    EXPECT_EQ(exitCode, 4) << ReadFileBytes(dir.File("mix.out"));
    const auto rows = ReportRows(report);
    ASSERT_EQ(rows.size(), 6u) << ReadFileBytes(report);
    const struct {
        const char* address;
        int result;
        const char* reason;  // a part of it
    } expected[] = {
        {"127.0.17.1", 0, ""},
        {"127.0.17.2", 3, "no room"},
        {"127.0.17.3", 4, "Memory compare Flash/Ram is in error"},
        {"127.0.17.4", 3, ""},
        {"127.0.17.5", 3, "Destination Unreachable"},
        {"10.99.0.2", 1, "Unable to contact server."},
    };
    for (const auto& row : expected) {
        SCOPED_TRACE(row.address);
        ASSERT_EQ(rows.count(row.address), 1u);
        const Json& got = rows.at(row.address);
        EXPECT_EQ(got["result"], row.result) << got.dump();
        EXPECT_NE(got["reason"].get<std::string>().find(row.reason), std::string::npos)
            << got.dump();
        EXPECT_EQ(got["attempts"], 1);
        EXPECT_EQ(got["action"], "send");
    }
    EXPECT_EQ(rows.at("127.0.17.1")["reason"], "");
    EXPECT_EQ(rows.at("127.0.17.1")["status"], "Memory compare Flash/Ram is OK");
    EXPECT_EQ(rows.at("127.0.17.1")["bytes"], 256 * 1024);
    EXPECT_EQ(rows.at("127.0.17.3")["status"], "Memory compare Flash/Ram is in error");
    EXPECT_NE(rows.at("127.0.17.4")["reason"], "");
}

// A reader that takes the output only once the run is over gets all of it, summary included;
// one that goes away or a device that is full loses lines, not the run; the agents never wait
// for the reader, and the exit code and the report say how the run went.
TEST_F(FleetTest, ASlowReaderGetsEveryLateLineAndABrokenOneLosesOnlyLines) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.23.", 50, 3)) << agents.Error();
    const std::string image = PatternString(100000, 6);
    WriteFileBytes(dir.File("app.bin"), image);
    const std::vector<std::string> addresses = {"127.0.23.50", "127.0.23.51", "127.0.23.52",
                                                "127.0.23.99"};  // no agent there: result 3
    const std::string inventory = WriteInventory(addresses);
    enum class Reader { Late, Gone, FullDevice };
    for (const Reader reader : {Reader::Late, Reader::Gone, Reader::FullDevice}) {
        SCOPED_TRACE(static_cast<int>(reader));
        std::filesystem::remove_all(dir.Path() / "run");
        std::filesystem::create_directories(dir.Path() / "run");
        const std::string report = dir.File("run/report.json");
        StalledPipe stalled(dir.File("stalled"));
        ASSERT_TRUE(stalled.Full());
        const std::string target = reader == Reader::FullDevice ? "/dev/full" : stalled.Path();
        int output = -1;
        int errors = -1;
        const pid_t pid = Spawn(
            {"sh", "-c", "exec \"$0\" \"$@\" >" + target, Fleet(), "--logs", dir.File("run/logs"),
             "--report", report, "send", "image", dir.File("app.bin"), inventory},
            output, &errors);
        ASSERT_GT(pid, 0);
        const auto giveUp = Deadline(30000);
        while (!std::filesystem::exists(report) && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        for (std::size_t i = 0; i < agents.Size(); ++i) {
            EXPECT_TRUE(ReadFileBytes((agents.Dir(i) / "image.bin").string()) == image)
                << agents.Address(i);
        }
        std::string late;
        if (reader == Reader::Late) {
            late = stalled.ReadLate(Deadline(10000));
        } else if (reader == Reader::Gone) {
            stalled.CloseReader();
        }
        std::string none;
        std::string errorText;
        ReadToEnd(output, none, errors, errorText, Deadline(10000));
        ::close(output);
        ::close(errors);
        EXPECT_EQ(Reap(pid, Deadline(5000)), 3) << errorText;
        const auto rows = ReportRows(report);
        EXPECT_EQ(rows.size(), addresses.size());
        if (reader == Reader::Late) {
            const std::vector<std::string> lines = Lines(late);
            for (const std::string& address : addresses) {
                EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& line) {
                                            return line.starts_with(address + " ");
                                        }),
                          1)
                    << address << "\n"
                    << late;
            }
            EXPECT_NE(late.find("agents 4, upgraded 3, failed 1"), std::string::npos) << late;
            EXPECT_NE(late.find("logs: "), std::string::npos) << late;
        }
    }
}

// A backup into a folder that cannot take it: each fails with code 2 and the system's reason,
// leaves nothing beside the target, and keeps the earlier copy. Each case runs in a mount
// namespace of its own, where the test mounts small file systems as root.
TEST_F(FleetTest, BackupIntoAFolderThatCannotTakeItKeepsTheEarlierCopy) {
    AgentFleet agents(dir.Path() / "agents");
    // 20 ms a datagram: the EEPROM image takes over a second, time for the folder to go.
    ASSERT_TRUE(agents.Start("127.0.19.", 50, 1, {"--latency", "20"})) << agents.Error();
    const std::string inventory = WriteInventory({"127.0.19.50"});
    const std::string target = "127.0.19.50.eeprom.bin";
    const struct {
        const char* label;
        const char* setup;   // shell commands that prepare the folder "into"
        const char* reason;  // the system's reason the row ends with
        bool earlierKept;    // "into" held an earlier copy that must survive
    } rows[] = {
        {"target is a folder", "mkdir -p into/T", "Is a directory", false},
        {"target links to a folder", "mkdir into elsewhere && ln -s ../elsewhere into/T",
         "Is a directory", false},
        {"read-only file system",
         "mkdir into && mount -t tmpfs -o size=1m tmpfs into && echo earlier >into/T && "
         "mount -o remount,ro into",
         "Read-only file system", true},
        {"full file system",
         "mkdir into && mount -t tmpfs -o size=16k tmpfs into && echo earlier >into/T",
         "No space left on device", true},
        {"folder removed during the fetch",
         "mkdir into; echo earlier >into/T; (sleep 0.5; rm -rf into) &",
         "No such file or directory", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        const std::filesystem::path work = dir.Path() / "case";
        std::filesystem::remove_all(work);
        std::filesystem::create_directories(work);
        std::string setup = row.setup;
        for (std::size_t at; (at = setup.find("into/T")) != std::string::npos;) {
            setup.replace(at, 6, "into/" + target);
        }
        // What the folder holds afterwards is read inside the namespace, before its mounts go.
        const std::string script =
            "cd " + work.string() + " && " + setup + "\n" + Fleet() +
            " --logs logs --report report.json eeprom into " + inventory +
            " >/dev/null; code=$?; sleep 0.6; ls -A into >listing; cat into/" + target +
            " >kept 2>/dev/null; exit $code";
        const RunResult run = RunProgram(
            {"unshare", "--mount", "--propagation", "private", "sh", "-c", script}, 30000, true);
        EXPECT_EQ(run.exitCode, 2) << run.errors;
        const auto report = ReportRows((work / "report.json").string());
        ASSERT_EQ(report.count("127.0.19.50"), 1u) << run.errors;
        const Json& got = report.at("127.0.19.50");
        EXPECT_EQ(got["result"], 2) << got.dump();
        EXPECT_TRUE(got["reason"].get<std::string>().ends_with(row.reason)) << got.dump();
        const std::string listing = ReadFileBytes((work / "listing").string());
        EXPECT_EQ(listing.find(".kalvoran-"), std::string::npos) << listing;
        if (row.earlierKept) {
            EXPECT_EQ(ReadFileBytes((work / "kept").string()), "earlier\n");
        }
    }
}

TEST_F(FleetTest, RetriesRepeatNetworkFailuresButNeverARefusal) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start(std::vector<AgentLaunch>{
        {"127.0.18.1", {"--fault", "error:eeprom.bin:0:busy"}},
        {"127.0.18.2"},
    })) << agents.Error();
    std::filesystem::create_directories(dir.Path() / "backup" / "127.0.18.2.eeprom.bin");
    const RunResult run =
        RunFleet({"--retries", "2", "--report", dir.File("r.json"), "eeprom", dir.File("backup"),
                  WriteInventory({"127.0.18.1", "127.0.18.2"})});
    EXPECT_EQ(run.exitCode, 3) << run.output << run.errors;
    const auto rows = ReportRows(dir.File("r.json"));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.at("127.0.18.1")["result"], 3);
    EXPECT_EQ(rows.at("127.0.18.1")["attempts"], 3) << "the first run and two more";
    // A folder where the backup would go is refused locally: not worth repeating.
    EXPECT_EQ(rows.at("127.0.18.2")["result"], 2);
    EXPECT_EQ(rows.at("127.0.18.2")["attempts"], 1);
}

TEST_F(FleetTest, BadInventoryLinesAndFilesAreRefusedBeforeAnythingIsSent) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start(std::vector<std::string>{"127.0.18.10"}, {"--verbose"}))
        << agents.Error();
    WriteFileBytes(dir.File("app.bin"), "abcdef");
    WriteFileBytes(dir.File("app.txt"), "abcdef");
    const std::string inventory = WriteInventory(
        {"127.0.18.10 fine", "127.0.18 short", "0.0.0.0", "127.0.18.10 again", "300.1.1.1"});
    const RunResult bad = RunFleet({"send", "image", dir.File("app.bin"), inventory});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.output, "");
    const std::vector<std::string> errors = Lines(bad.errors);
    ASSERT_EQ(errors.size(), 4u) << bad.errors;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        EXPECT_EQ(errors[i].rfind("inventory:" + std::to_string(i + 2) + ": ", 0), 0u) << errors[i];
    }
    const std::string good = WriteInventory({"127.0.18.10"});
    const RunResult badFile = RunFleet({"send", "image", dir.File("app.txt"), good});
    EXPECT_EQ(badFile.exitCode, 2);
    EXPECT_EQ(badFile.errors, "Invalid file type!\n");
    const RunResult usage = RunFleet({"send", "rom", dir.File("app.bin"), good});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_NE(usage.errors.find("unknown file type \"rom\""), std::string::npos);
    const RunResult check = RunFleet({"--check", "send", "image", dir.File("app.bin"), good});
    EXPECT_EQ(check.exitCode, 0) << check.errors;
    EXPECT_NE(check.output.find("127.0.18.10"), std::string::npos) << check.output;
    EXPECT_EQ(agents.Output(0).find("WRQ"), std::string::npos)
        << "no request reached the agent: " << agents.Output(0);
    EXPECT_TRUE(std::filesystem::is_empty(agents.Dir(0)));
}

TEST_F(FleetTest, EepromAndConfigurationBackupsGoIntoTheFolder) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.18.", 20, 3, {"--status-steps", "0"})) << agents.Error();
    const std::string inventory =
        WriteInventory({agents.Address(0), agents.Address(1), agents.Address(2)});
    std::filesystem::create_directories(dir.Path() / "backup");
    const RunResult eeprom = RunFleet({"eeprom", dir.File("backup"), inventory});
    ASSERT_EQ(eeprom.exitCode, 0) << eeprom.output << eeprom.errors;
    const agentsim::Bytes image = agentsim::EepromImage();
    const std::string request = PatternString(300, 3);
    WriteFileBytes(dir.File("request.cfg"), request);
    const RunResult config = RunFleet({"--report", dir.File("c.json"), "configfile",
                                       dir.File("request.cfg"), dir.File("backup"), inventory});
    ASSERT_EQ(config.exitCode, 0) << config.output << config.errors;
    const agentsim::Bytes generated =
        agentsim::GenerateConfig(agentsim::Bytes(request.begin(), request.end()));
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string base = dir.File("backup/" + agents.Address(i));
        EXPECT_TRUE(ReadFileBytes(base + ".eeprom.bin") == std::string(image.begin(), image.end()));
        EXPECT_TRUE(ReadFileBytes(base + ".config.cfg") ==
                    std::string(generated.begin(), generated.end()));
    }
    EXPECT_EQ(ReportRows(dir.File("c.json")).at(agents.Address(0))["action"], "configfile");
}

// A terminal of a fixed size, as far as the fleet's output needs one: text, carriage return,
// line feed, cursor up, erase to the end of the line and of the screen. It counts the lines
// that scroll into its history and the lines that wrap; erasing the whole screen from its top
// keeps a copy of it in the history, as some terminals do.
class TerminalModel {
public:
    TerminalModel(int columns, int rows) : width(columns), screen(static_cast<std::size_t>(rows)) {}

    void Feed(const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                std::size_t end = i + 2;
                while (end < bytes.size() && std::isdigit(static_cast<unsigned char>(bytes[end]))) {
                    ++end;
                }
                const int count = end > i + 2 ? std::stoi(bytes.substr(i + 2, end - i - 2)) : 1;
                Control(end < bytes.size() ? bytes[end] : '\0', count);
                i = end;
            } else if (c == '\r') {
                column = 0;
            } else if (c == '\n') {
                LineFeed();
                column = 0;  // the pseudo-terminal writes a line end as "\r\n" anyway
            } else if ((static_cast<unsigned char>(c) & 0xC0) == 0x80 && column > 0) {
                screen[row][static_cast<std::size_t>(column - 1)] += c;  // the same character
            } else {
                if (column == width) {
                    ++wrapped;
                    LineFeed();
                    column = 0;
                }
                Row& line = screen[row];
                line.resize(std::max(line.size(), static_cast<std::size_t>(column + 1)), " ");
                line[static_cast<std::size_t>(column++)] = std::string(1, c);
            }
        }
    }

    // Every line the terminal shows or has scrolled away, trailing blanks removed.
    std::vector<std::string> AllLines() const {
        std::vector<std::string> lines;
        for (const auto* rows : {&history, &screen}) {
            for (const Row& cells : *rows) {
                std::string& line = lines.emplace_back();
                for (const std::string& cell : cells) {
                    line += cell;
                }
                line.erase(line.find_last_not_of(' ') + 1);
            }
        }
        return lines;
    }

    int scrolled = 0;
    int wrapped = 0;

private:
    using Row = std::vector<std::string>;  // a character (its UTF-8 bytes) a column

    void LineFeed() {
        if (row + 1 < screen.size()) {
            ++row;
            return;
        }
        history.push_back(screen.front());
        screen.erase(screen.begin());
        screen.emplace_back();
        ++scrolled;
    }

    void Control(char command, int count) {
        if (command == 'A') {
            row -= std::min(row, static_cast<std::size_t>(count));
        } else if (command == 'K' || command == 'J') {
            if (command == 'J' && row == 0 && column == 0) {
                for (const Row& line : screen) {
                    history.push_back(line);
                    ++scrolled;
                }
            }
            screen[row].resize(std::min(screen[row].size(), static_cast<std::size_t>(column)));
            for (std::size_t below = row + 1; command == 'J' && below < screen.size(); ++below) {
                screen[below].clear();
            }
        }
    }

    int width;
    std::vector<Row> screen;
    std::vector<Row> history;
    std::size_t row = 0;
    int column = 0;
};

// On a terminal the running agents are a table redrawn in place with a line of totals, cut to
// the terminal's width and height; what scrolls up is each finished agent once and the summary.
// One agent, gone, carries a label far wider than the terminal: its result stays on its line.
class FleetTerminalTest : public FleetTest,
                          public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(FleetTerminalTest, TheLiveTableNeverFloodsTheTerminal) {
    const auto [columns, first] = GetParam();
    constexpr int kRows = 15;
    constexpr int kAgents = 16;  // more than the rows: some run unseen
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.23.", first, kAgents, {"--latency", "3"})) << agents.Error();
    WriteFileBytes(dir.File("app.bin"), PatternString(64 * 1024, 2));
    std::vector<std::string> inventory;
    for (std::size_t i = 0; i < agents.Size(); ++i) {
        inventory.push_back(agents.Address(i) + " cabinet " + std::to_string(i));
    }
    const std::string gone = "127.0.23." + std::to_string(first + kAgents + 1);
    inventory.push_back(gone + " " + std::string(1000, 'L'));
    const std::string inventoryPath = WriteInventory(inventory);
    int terminal = -1;
    winsize size{};
    size.ws_col = static_cast<unsigned short>(columns);
    size.ws_row = kRows;
    std::fflush(nullptr);
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string program = Fleet();
        const std::string file = dir.File("app.bin");
        // Relative logs: the summary's last line fits the narrow terminal too.
        if (::chdir(dir.Path().c_str()) == 0) {
            ::execl(program.c_str(), program.c_str(), "--jobs", "20", "--logs", "logs", "send",
                    "image", file.c_str(), inventoryPath.c_str(), static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    std::string written;
    ReadUntil(terminal, written, Deadline(60000), nullptr);
    const int exitCode = Reap(pid, Deadline(10000));
    ::close(terminal);
    EXPECT_EQ(exitCode, 3) << written;
    EXPECT_NE(written.find("running " + std::to_string(kAgents + 1)), std::string::npos);
    EXPECT_NE(written.find(" more)"), std::string::npos) << "running agents left out, counted";

    TerminalModel model(columns, kRows);
    model.Feed(written);
    EXPECT_EQ(model.wrapped, 0);
    const std::vector<std::string> lines = model.AllLines();
    for (const std::string& address : inventory) {
        const std::string start = address.substr(0, address.find(' ')) + " ";
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& line) { return line.starts_with(start); }),
                  1)
            << start;
    }
    const auto goneLine = std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.starts_with(gone + " ");
    });
    ASSERT_NE(goneLine, lines.end());
    EXPECT_NE(goneLine->find("L\u2026 send       FAILED 3"), std::string::npos) << *goneLine;
    EXPECT_NE(std::find(lines.begin(), lines.end(), "agents 17, upgraded 16, failed 1"),
              lines.end());
    // A line per agent and the summary's three; every redraw of the table stays in place.
    EXPECT_LE(model.scrolled, static_cast<int>(inventory.size()) + 3);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FleetTerminalTest,
                         ::testing::Values(std::pair{40, 1}, std::pair{300, 21}));

// Ctrl-C while the agent is still reporting the steps of its flash: the agent reported no
// failure, the run was cancelled, and the report says so (result 2), not a failed flash.
TEST_F(FleetTest, ACancelDuringTheStatusPollIsACancelNotAFailedJob) {
    AgentFleet agents(dir.Path() / "agents");
    ASSERT_TRUE(agents.Start("127.0.18.", 60, 1, {"--status-steps", "15"})) << agents.Error();
    WriteFileBytes(dir.File("app.bin"), PatternString(4096, 5));
    const std::string log = dir.File("logs/127.0.18.60.log");
    int output = -1;
    const pid_t pid =
        Spawn({Fleet(), "--verify", "--logs", dir.File("logs"), "--report", dir.File("r.json"),
               "send", "image", dir.File("app.bin"), WriteInventory({agents.Address(0)})},
              output);
    ASSERT_GT(pid, 0);
    const auto giveUp = Deadline(20000);
    while (ReadFileBytes(log).find("Programming flash: step 2") == std::string::npos &&
           std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGINT);
    std::string out;
    std::string none;
    ReadToEnd(output, out, -1, none, Deadline(20000));
    const int exitCode = Reap(pid, Deadline(5000));
    ::close(output);
    EXPECT_EQ(exitCode, 2) << out;
    const auto rows = ReportRows(dir.File("r.json"));
    ASSERT_EQ(rows.size(), 1u) << out;
    const Json& row = rows.begin()->second;
    EXPECT_EQ(row["result"], 2) << row.dump();
    EXPECT_EQ(row["reason"], "Cancelled.") << row.dump();
    EXPECT_EQ(row["attempts"], 1) << row.dump();
}

// SIGINT, SIGTERM or a hang-up: nothing new starts, what runs is cancelled, and the report says
// so.
class FleetSignalTest : public FleetTest, public ::testing::WithParamInterface<int> {};

TEST_P(FleetSignalTest, CancelsTheRunningAgentsAndWritesTheReport) {
    AgentFleet agents(dir.Path() / "agents");
    const int first = GetParam() == SIGINT ? 10 : GetParam() == SIGHUP ? 20 : 30;
    ASSERT_TRUE(agents.Start("127.0.19.", first, 4, {"--latency", "10"})) << agents.Error();
    WriteFileBytes(dir.File("app.bin"), PatternString(512 * 1024, 4));
    std::vector<std::string> inventory;
    for (std::size_t i = 0; i < agents.Size(); ++i) {
        inventory.push_back(agents.Address(i));
    }
    int output = -1;
    int errors = -1;
    const pid_t pid =
        Spawn({Fleet(), "--jobs", "2", "--logs", dir.File("logs"), "--report", dir.File("r.json"),
               "send", "image", dir.File("app.bin"), WriteInventory(inventory)},
              output, &errors);
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ::kill(pid, GetParam());
    std::string out;
    std::string err;
    ReadToEnd(output, out, errors, err, Deadline(30000));
    const int exitCode = Reap(pid, Deadline(5000));
    ::close(output);
    ::close(errors);
    EXPECT_EQ(exitCode, 2) << out << err;
    const auto rows = ReportRows(dir.File("r.json"));
    ASSERT_EQ(rows.size(), 4u) << out << err;
    int cancelled = 0;
    int unstarted = 0;
    for (const auto& [address, row] : rows) {
        EXPECT_EQ(row["result"], 2) << row.dump();
        const std::string reason = row["reason"];
        cancelled += reason == "Cancelled." ? 1 : 0;
        unstarted += reason == "Cancelled before it started." ? 1 : 0;
    }
    EXPECT_EQ(cancelled, 2) << out;
    EXPECT_EQ(unstarted, 2) << out;
}

INSTANTIATE_TEST_SUITE_P(Signals, FleetSignalTest, ::testing::Values(SIGINT, SIGHUP, SIGTERM));

}  // namespace
}  // namespace kalvoran::testing

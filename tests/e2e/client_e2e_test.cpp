// The KalvoranTFTPclient program run unattended, as a script runs it: against agent-sim (with
// faults) or tftpd-hpa on its own loopback address per case, without a display. Each case checks
// the exit code, what the agent stored, and the two output streams apart: the status log on
// stdout, the reasons for failure on stderr.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <string_view>
#include <thread>

#include "net/ping_test_support.h"
#include "support/Pattern.h"
#include "support/StalledPipe.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "support/TftpdProcess.h"
#include "tools/AgentProcess.h"
#include "tools/SimWire.h"

namespace kalvoran::testing {
namespace {

using agentsim::testing::AgentProcess;
using agentsim::testing::BinDir;

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class e2eClient : public ::testing::Test {
protected:
    // An empty fault commits none.
    void StartAgent(const std::string& address, const std::string& fault = "") {
        std::vector<std::string> args = {"--address", address, "--dir", AgentFile(""), "--verbose"};
        if (!fault.empty()) {
            args.insert(args.end(), {"--fault", fault});
        }
        ASSERT_TRUE(agent.Start(args)) << agent.Output();
    }
    std::string AgentFile(const std::string& name) const { return dir.File("agent/" + name); }

    // Writes a local file of size bytes whose every block differs; returns its content.
    std::string WriteLocal(const std::string& name, std::size_t size, unsigned seed = 1) {
        const std::string content = PatternString(size, seed);
        WriteFileBytes(dir.File(name), content);
        return content;
    }

    // The program in the test's directory, with no display, no runtime directory and a profile
    // of its own, stdout and stderr read apart.
    // environment: NAME=VALUE settings on top of that; stdoutRedirection: a shell redirection of
    // its standard output instead of the pipe (">&-", ">/dev/full").
    RunResult RunClient(const std::vector<std::string>& args,
                        const std::vector<std::string>& environment = {},
                        const std::string& stdoutRedirection = "") {
        std::filesystem::create_directories(dir.Path() / "config");
        std::vector<std::string> argv = {"env", "-C", dir.Path().string()};
        for (const char* name :
             {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"}) {
            argv.insert(argv.end(), {"-u", name});
        }
        argv.push_back("XDG_CONFIG_HOME=" + dir.File("config"));
        argv.insert(argv.end(), environment.begin(), environment.end());
        if (!stdoutRedirection.empty()) {
            argv.insert(argv.end(), {"sh", "-c", "exec \"$0\" \"$@\" " + stdoutRedirection});
        }
        argv.push_back((BinDir() / "KalvoranTFTPclient").string());
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, 45000, true);
    }

    TempDir dir;
    AgentProcess agent;
};

// Block numbers are 16 bits: the last block of the largest file is block 65535.
constexpr std::size_t kLargestFile = 65535 * 512 - 1;

// The saved profile names BOOTLOADER UPGRADE; a keyword overrides it, any other word keeps it.
struct Delivery {
    const char* label;
    const char* keyword;
    const char* localName;
    const char* agentName;
    std::size_t size;
    const char* fault;
    const char* address;
};

// Test names show each case's label.
void PrintTo(const Delivery& send, std::ostream* out) {
    *out << send.label;
}

class ClientDelivers : public e2eClient, public ::testing::WithParamInterface<Delivery> {};

TEST_P(ClientDelivers, AgentStoresTheSameBytesAndExitCodeIs0) {
    const Delivery& send = GetParam();
    StartAgent(send.address, send.fault);
    std::filesystem::create_directories(dir.Path() / "config");
    WriteFileBytes(dir.File("config/KalvoranTFTPclient.INI"), "[Settings]\ntype=6\n");
    const std::string content = WriteLocal(send.localName, send.size, 7);
    const RunResult run = RunClient({send.keyword, send.localName, send.address});
    EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_TRUE(ReadFileBytes(AgentFile(send.agentName)) == content) << agent.Output();
    if (std::string_view(send.agentName) == "rom.bin") {
        ASSERT_EQ(Lines(run.errors).size(), 1u) << run.errors;
        EXPECT_NE(run.errors.find(send.keyword), std::string::npos) << run.errors;
        EXPECT_NE(run.errors.find("BOOTLOADER UPGRADE"), std::string::npos) << run.errors;
    } else {
        EXPECT_EQ(run.errors, "");
    }
    const std::string fault(send.fault);
    if (!fault.empty()) {  // the agent did commit it
        EXPECT_NE(agent.Output().find("fault " + fault.substr(0, fault.find(':')) + " at block"),
                  std::string::npos)
            << agent.Output();
    }
}

// The file-system and bootloader files are as large as their types accept.
INSTANTIATE_TEST_SUITE_P(
    e2e, ClientDelivers,
    ::testing::Values(
        Delivery{"image", "image", "app.bin", "image.bin", 70000, "", "127.0.10.1"},
        Delivery{"config", "config", "site.cfg", "config.cfg", 3000, "", "127.0.10.2"},
        Delivery{"command", "command", "run.cmd", "command.cmd", 100, "", "127.0.10.3"},
        Delivery{"filesystem", "filesystem", "logo.gif", "logo.gif", 262144, "", "127.0.10.4"},
        Delivery{"bootloader", "bootloader", "boot.bin", "rom.bin", 131072, "", "127.0.10.5"},
        Delivery{"1_byte", "image", "app.bin", "image.bin", 1, "", "127.0.10.11"},
        Delivery{"511_bytes", "image", "app.bin", "image.bin", 511, "", "127.0.10.12"},
        Delivery{"512_bytes", "image", "app.bin", "image.bin", 512, "", "127.0.10.13"},
        Delivery{"513_bytes", "image", "app.bin", "image.bin", 513, "", "127.0.10.14"},
        Delivery{"8000_bytes", "image", "app.bin", "image.bin", 8000, "", "127.0.10.15"},
        Delivery{"1_MiB", "image", "app.bin", "image.bin", 1 << 20, "", "127.0.10.16"},
        Delivery{"largest", "image", "app.bin", "image.bin", kLargestFile, "", "127.0.10.17"},
        Delivery{"lost_ack", "image", "app.bin", "image.bin", 8000, "drop:3", "127.0.10.31"},
        Delivery{"duplicate_ack", "image", "app.bin", "image.bin", 8000, "duplicate:5",
                 "127.0.10.32"},
        Delivery{"stray_packet", "image", "app.bin", "image.bin", 8000, "stray:3", "127.0.10.33"},
        Delivery{"short_datagram", "image", "app.bin", "image.bin", 8000, "short:3", "127.0.10.34"},
        Delivery{"wrong_port", "image", "app.bin", "image.bin", 8000, "wrong-port:3",
                 "127.0.10.35"},
        Delivery{"late_ack", "image", "app.bin", "image.bin", 8000, "delay:4:1500",
                 "127.0.10.36"}));

struct Failure {
    const char* label;
    const char* keyword;
    const char* localName;
    long size;  // -1: no such file
    const char* fault;
    const char* agentAddress;
    const char* clientAddress;
    int exitCode;
    std::string reason;  // the first line on stderr
};

void PrintTo(const Failure& failure, std::ostream* out) {
    *out << failure.label;
}

class ClientFails : public e2eClient, public ::testing::WithParamInterface<Failure> {};

TEST_P(ClientFails, ExitCodeAndStderrSayWhyAndTheAgentKeepsNothing) {
    const Failure& failure = GetParam();
    StartAgent(failure.agentAddress, failure.fault);
    if (failure.size >= 0) {
        WriteLocal(failure.localName, static_cast<std::size_t>(failure.size));
    }
    const RunResult run = RunClient({failure.keyword, failure.localName, failure.clientAddress});
    EXPECT_EQ(run.exitCode, failure.exitCode) << run.output;
    EXPECT_EQ(FirstLine(run.errors), failure.reason) << run.errors;
    EXPECT_TRUE(std::filesystem::is_empty(AgentFile(""))) << agent.Output();
}

// 2 GiB and more is beyond any transfer: refused as too big, not as an empty file.
TEST_F(e2eClient, AnImageOf2GiBIsRefusedAsTooBig) {
    StartAgent("127.0.10.28");
    WriteLocal("huge.bin", 16);
    ASSERT_EQ(::truncate(dir.File("huge.bin").c_str(), off_t{2} << 30), 0);  // sparse
    const RunResult run = RunClient({"image", "huge.bin", "127.0.10.28"});
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_EQ(FirstLine(run.errors), "!! File too big for a TFTP transfer (at most " +
                                         std::to_string(kLargestFile) + " bytes) !!: huge.bin")
        << run.errors;
    EXPECT_TRUE(std::filesystem::is_empty(AgentFile(""))) << agent.Output();
}

// "127.0.10" is no dotted quad; a reader that took it as 127.0.0.10 would still stay on loopback.
INSTANTIATE_TEST_SUITE_P(
    e2e, ClientFails,
    ::testing::Values(Failure{"wrong_type", "image", "app.txt", 100, "", "127.0.10.20",
                              "127.0.10.20", 2, "Invalid file type!"},
                      Failure{"missing_file", "image", "missing.bin", -1, "", "127.0.10.21",
                              "127.0.10.21", 2, "Failed to open file: missing.bin"},
                      Failure{"empty_file", "image", "empty.bin", 0, "", "127.0.10.22",
                              "127.0.10.22", 2, "Empty file: empty.bin"},
                      Failure{"too_many_blocks", "image", "huge.bin", kLargestFile + 1, "",
                              "127.0.10.23", "127.0.10.23", 2,
                              "!! File too big for a TFTP transfer (at most " +
                                  std::to_string(kLargestFile) + " bytes) !!: huge.bin"},
                      Failure{"too_big_for_file_system", "filesystem", "big.gif", 262145, "",
                              "127.0.10.24", "127.0.10.24", 2,
                              "!! File too big for file system !!: big.gif"},
                      Failure{"agent_error", "image", "app.bin", 8000, "error:image.bin:2",
                              "127.0.10.25", "127.0.10.25", 3, "Server error TFTPERROR"},
                      Failure{"missed_acks", "image", "app.bin", 8000, "stall:2", "127.0.10.26",
                              "127.0.10.26", 3, "Destination Unreachable"},
                      Failure{"invalid_address", "image", "app.bin", 8000, "", "127.0.10.27",
                              "127.0.10", 3, "Not a valid IP address"}));

// The whole of standard output after an upgrade of app.bin: the instructions, the ping's answer,
// the send and the completion report, nothing else.
void ExpectUpgradeLog(const std::string& output, const std::string& address) {
    const std::vector<std::string> lines = Lines(output);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.front().find("TFTP TRANSFER INSTRUCTIONS"), std::string::npos);
    // After the instructions: the ping's answer, the send, the completion report.
    const auto lastInstruction =
        std::find(lines.begin(), lines.end(), "*** THE AGENT MAY BECOME UNSTABLE.");
    ASSERT_LT(lastInstruction + 2, lines.end()) << output;
    EXPECT_EQ(lastInstruction[1], "  ");
    EXPECT_EQ(lastInstruction[2].rfind("Addr: " + address + ", RTT: ", 0), 0u)
        << lastInstruction[2];
    EXPECT_EQ(
        std::vector<std::string>(lastInstruction + 3, lines.end()),
        (std::vector<std::string>{"Sending file: app.bin as image.bin", "Connection closed", "  ",
                                  "  ", "Please wait while the flash process is being finalized.",
                                  "The card will reset at the completion of the flash."}));
}

// An unattended run's stdout holds only the status log and stderr nothing. Wherever nobody would
// see a window (no display named, one that does not answer, the toolkit's off-screen platform)
// the run goes on without the toolkit: no platform plugin is loaded, and the streams carry
// exactly what they carry with one. The dynamic loader's own record of the files it opened
// (LD_DEBUG=files, written to a file of its own) tells what was loaded.
TEST_F(e2eClient, UnattendedRunWithoutAVisibleDisplayStartsNoToolkit) {
    const std::string address = "127.0.10.42";
    StartAgent(address);
    const std::string content = WriteLocal("app.bin", 3000);
    const std::vector<std::vector<std::string>> environments = {
        {},
        {"DISPLAY=:4711"},
        {"WAYLAND_DISPLAY=gone-0", "XDG_RUNTIME_DIR=" + dir.Path().string()},
        {"QT_QPA_PLATFORM=offscreen"},
    };
    for (std::size_t i = 0; i < environments.size(); ++i) {
        std::vector<std::string> environment = environments[i];
        const std::string trace = dir.File("loaded-" + std::to_string(i));
        environment.insert(environment.end(), {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + trace});
        SCOPED_TRACE(environment.front());
        std::filesystem::remove(AgentFile("image.bin"));
        const RunResult run = RunClient({"image", "app.bin", address}, environment);
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        EXPECT_EQ(run.errors, "");
        ExpectUpgradeLog(run.output, address);
        EXPECT_TRUE(ReadFileBytes(AgentFile("image.bin")) == content);

        std::string loaded;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (entry.path().filename().string().starts_with("loaded-" + std::to_string(i) + ".")) {
                loaded += ReadFileBytes(entry.path().string());
            }
        }
        // The record is real: it names the ping module the run loaded for its pings.
        EXPECT_NE(loaded.find("libkalvoran-icmp.so"), std::string::npos);
        EXPECT_EQ(loaded.find("plugins/platforms"), std::string::npos);
        EXPECT_EQ(loaded.find("libQt6XcbQpa"), std::string::npos);
    }
}

// A file name that is not UTF-8 reaches the file system as the bytes the script gave: the file
// of that name is sent, not a file whose name a text conversion made of it.
TEST_F(e2eClient, FileNameThatIsNotUtf8IsSentByteForByte) {
    StartAgent("127.0.10.43");
    const std::string wanted = WriteLocal("\xff\xfe.bin", 2000, 3);
    WriteLocal("\xef\xbf\xbd\xef\xbf\xbd.bin", 2000, 4);  // U+FFFD twice, as converted text
    const RunResult run = RunClient({"image", "\xff\xfe.bin", "127.0.10.43"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_TRUE(ReadFileBytes(AgentFile("image.bin")) == wanted);
}

// With no keyword and no saved type nothing is sent (the run would otherwise have guessed the
// application slot for what may be a bootloader image), and the script is told why.
TEST_F(e2eClient, NoKeywordAndNoSavedTypeSendsNothing) {
    StartAgent("127.0.10.44");
    WriteLocal("rom.bin", 1000);
    const RunResult run = RunClient({"rom", "rom.bin", "127.0.10.44"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    ASSERT_EQ(Lines(run.errors).size(), 1u) << run.errors;
    EXPECT_NE(run.errors.find("image, config, command, filesystem"), std::string::npos);
    EXPECT_NE(run.errors.find("profile"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(AgentFile(""))) << agent.Output();
    EXPECT_EQ(agent.Output().find("WRQ"), std::string::npos) << agent.Output();
}

// The agent's address answers no echo request (a network namespace of the test's own), so the
// client gives up after its 20 s of pings without sending anything.
TEST_F(e2eClient, AgentThatAnswersNoPingGivesExitCode1) {
    WriteLocal("app.bin", 1000);
    const auto start = std::chrono::steady_clock::now();
    const int exitCode = net::testing::RunInPrivateNetwork({true, false}, [this] {
        StartAgent("127.0.10.41");
        const RunResult run = RunClient({"image", "app.bin", "127.0.10.41"});
        WriteFileBytes(dir.File("stderr.txt"), run.errors);
        agent.Stop();  // the child ends without destructors
        return ::testing::Test::HasFailure() ? 200 : run.exitCode;
    });
    EXPECT_EQ(exitCode, 1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(19));
    EXPECT_NE(ReadFileBytes(dir.File("stderr.txt")).find("Unable to contact server."),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(AgentFile("image.bin")));
}

TEST_F(e2eClient, ApplicationUpgradeToARealTftpServer) {
    if (!TftpdProcess::Available()) {
        GTEST_SKIP() << "tftpd-hpa is not installed";
    }
    std::filesystem::create_directories(dir.Path() / "server");
    TftpdProcess server;
    ASSERT_TRUE(server.Start("127.0.11.1", dir.File("server"))) << server.Output();
    const std::string content = WriteLocal("app.bin", 100000, 5);
    const RunResult run = RunClient({"image", "app.bin", "127.0.11.1"});
    EXPECT_EQ(run.exitCode, 0) << run.output << run.errors;
    EXPECT_EQ(run.errors, "");
    EXPECT_TRUE(ReadFileBytes(dir.File("server/image.bin")) == content);
}

// An over-long argument is named with its limit rather than called a wrong number of
// arguments, and nothing reaches the agent.
TEST_F(e2eClient, OverLongFileNameIsNamedOnStderrWithItsLimit) {
    StartAgent("127.0.23.10");
    std::string path;
    while (path.size() < 260) {
        path += "dir/";
    }
    path += "a.bi";
    ASSERT_EQ(path.size(), 264u);
    const RunResult run = RunClient({"image", path, "127.0.23.10"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(run.errors, "The file name argument is too long (at most 255 characters).\n");
    EXPECT_EQ(agent.Output().find("WRQ"), std::string::npos) << agent.Output();
}

// The log is for the script, the upgrade for the card: a standard output that is closed, a full
// device, or a pipe nobody reads any more (its buffer full) loses the log, never the transfer or
// its exit code.
TEST_F(e2eClient, StandardOutputThatTakesNothingNeitherStopsNorFailsTheUpgrade) {
    StalledPipe stalled(dir.File("stalled"));
    ASSERT_TRUE(stalled.Full());
    const struct {
        const char* label;
        std::string redirection;
        const char* address;
    } rows[] = {{"closed", ">&-", "127.0.23.26"},
                {"full device", ">/dev/full", "127.0.23.27"},
                {"pipe nobody reads", ">" + stalled.Path(), "127.0.23.28"}};
    const std::string image = WriteLocal("app.bin", 200000, 4);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        AgentProcess target;
        ASSERT_TRUE(target.Start({"--address", row.address, "--dir", AgentFile("")}))
            << target.Output();
        const auto started = std::chrono::steady_clock::now();
        const RunResult run = RunClient({"image", "app.bin", row.address}, {}, row.redirection);
        EXPECT_EQ(run.exitCode, 0) << run.errors;
        EXPECT_EQ(run.errors, "");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_TRUE(ReadFileBytes(AgentFile("image.bin")) == image);
        std::filesystem::remove(AgentFile("image.bin"));
    }
}

// A signal from outside (a script's timeout, a Ctrl-C, a closed terminal) ends an unattended
// run as the close operation does: the session cancelled within a second or two, exit code 2,
// never 0, the reason on stderr, and the agent left without a half image.
// The same in a window: "Offscreen" (the toolkit's off-screen platform, named in another case
// than the display probe knows it) takes the window's path.
TEST_F(e2eClient, StopSignalsEndTheRunAsTheCloseOperationDoes) {
    const struct {
        int signal;
        const char* address;
        const char* platform;  // nullptr: no display, the run starts no toolkit
    } rows[] = {{SIGTERM, "127.0.23.20", nullptr},    {SIGINT, "127.0.23.21", nullptr},
                {SIGHUP, "127.0.23.22", nullptr},     {SIGTERM, "127.0.23.23", "Offscreen"},
                {SIGINT, "127.0.23.24", "Offscreen"}, {SIGHUP, "127.0.23.25", "Offscreen"}};
    WriteLocal("app.bin", 300000, 2);
    std::filesystem::create_directories(dir.Path() / "config");
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(sigabbrev_np(row.signal)) + (row.platform ? " window" : ""));
        AgentProcess slow;
        ASSERT_TRUE(
            slow.Start({"--address", row.address, "--dir", AgentFile(""), "--latency", "5"}))
            << slow.Output();
        std::vector<std::string> argv = {"env",
                                         "-C",
                                         dir.Path().string(),
                                         "-u",
                                         "DISPLAY",
                                         "-u",
                                         "WAYLAND_DISPLAY",
                                         "-u",
                                         "QT_QPA_PLATFORM",
                                         "XDG_CONFIG_HOME=" + dir.File("config"),
                                         "XDG_RUNTIME_DIR=" + dir.Path().string()};
        if (row.platform != nullptr) {
            argv.push_back(std::string("QT_QPA_PLATFORM=") + row.platform);
        }
        argv.insert(argv.end(),
                    {(BinDir() / "KalvoranTFTPclient").string(), "image", "app.bin", row.address});
        int output = -1;
        int errors = -1;
        const pid_t pid = Spawn(argv, output, &errors);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        const auto signalled = std::chrono::steady_clock::now();
        ::kill(pid, row.signal);
        std::string out;
        std::string err;
        ReadToEnd(output, out, errors, err, Deadline(10000));
        const int exitCode = Reap(pid, Deadline(5000));
        ::close(output);
        ::close(errors);
        EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(4));
        EXPECT_EQ(exitCode, 2) << out << err;
        EXPECT_NE(out.find("Sending file: app.bin as image.bin"), std::string::npos) << out;
        EXPECT_NE(out.find("Connection closed"), std::string::npos) << out;
        EXPECT_NE(err.find("Cancelled: the run was stopped by a signal."), std::string::npos)
            << err;
        EXPECT_FALSE(std::filesystem::exists(AgentFile("image.bin")));
    }
}

}  // namespace
}  // namespace kalvoran::testing

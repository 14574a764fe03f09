// The agent-sim program on its own loopback address per test, exercised by the tftp-hpa and
// curl clients and by a hand-made UDP client where the datagrams themselves are checked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "AgentProcess.h"
#include "SimWire.h"
#include "support/TempDir.h"

namespace kalvoran::agentsim::testing {
namespace {

using kalvoran::testing::ReadFileData;
using kalvoran::testing::WriteFileData;

namespace fs = std::filesystem;

// One agent on its own address with its own directory; port 69 as root, any port otherwise.
class AgentE2E : public ::testing::Test {
protected:
    void StartAgent(const std::string& agentAddress, std::vector<std::string> extra = {}) {
        address = agentAddress;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        work = fs::temp_directory_path() /
               ("agentsim-e2e-" + std::string(test->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(work);
        fs::create_directories(work);
        std::vector<std::string> args = {"--address", agentAddress,
                                         "--dir",     (work / "agent").string(),
                                         "--port",    ::geteuid() == 0 ? "69" : "0",
                                         "--verbose"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(agent.Start(args)) << agent.Output();
        ASSERT_GT(agent.Port(), 0);
    }
    void TearDown() override {
        EXPECT_EQ(agent.Stop(), 0) << agent.Output();
        if (HasFailure()) {
            std::printf("agent-sim output:\n%s\n", agent.Output().c_str());
        }
        fs::remove_all(work);
    }

    RunResult TftpCommand(const std::string& command) {
        std::vector<std::string> argv = {
            "tftp", "-m", "binary", address, std::to_string(agent.Port()), "-c"};
        std::istringstream words(command);
        for (std::string word; words >> word;) {
            argv.push_back(word);
        }
        return RunProgram(argv, 30000);
    }
    std::string Url(const std::string& name) const {
        return "tftp://" + address + ":" + std::to_string(agent.Port()) + "/" + name;
    }
    RunResult CurlGet(const std::string& name, const fs::path& to) {
        return RunProgram({"curl", "-sS", "--max-time", "20", "-o", to.string(), Url(name)});
    }
    RunResult CurlPut(const fs::path& from, const std::string& name) {
        return RunProgram({"curl", "-sS", "--max-time", "20", "-T", from.string(), Url(name)});
    }
    std::string CurlText(const std::string& name) {
        return RunProgram({"curl", "-sS", "--max-time", "10", Url(name)}).output;
    }

    AgentProcess agent;
    std::string address;
    fs::path work;
};

TEST_F(AgentE2E, TftpPutsAnImageAndGetsItBack) {
    StartAgent("127.0.5.1");
    const Bytes image = PatternBytes(100013);
    WriteFileData((work / "app.bin").string(), image);
    const RunResult put = TftpCommand("put " + (work / "app.bin").string() + " image.bin");
    EXPECT_EQ(put.exitCode, 0) << put.output;
    EXPECT_TRUE(ReadFileData((work / "agent" / "image.bin").string()) == image);

    const RunResult get = TftpCommand("get image.bin " + (work / "back.bin").string());
    EXPECT_EQ(get.exitCode, 0) << get.output;
    EXPECT_TRUE(ReadFileData((work / "back.bin").string()) == image);
    EXPECT_EQ(CurlText("status.bin"), "Programming flash: step 1 of 2");
}

TEST_F(AgentE2E, CurlFetchesEepromAndUploadsAFileSystemFile) {
    StartAgent("127.0.5.2");
    const RunResult get = CurlGet("eeprom.bin", work / "eeprom.bin");
    EXPECT_EQ(get.exitCode, 0) << get.output;
    EXPECT_TRUE(ReadFileData((work / "eeprom.bin").string()) == EepromImage());

    const Bytes logo = PatternBytes(262144, 3);
    WriteFileData((work / "logo.gif").string(), logo);
    const RunResult put = CurlPut(work / "logo.gif", "logo.gif");
    EXPECT_EQ(put.exitCode, 0) << put.output;
    EXPECT_TRUE(ReadFileData((work / "agent" / "logo.gif").string()) == logo);
}

TEST_F(AgentE2E, RequestFileLeadsToConfigFileDoneAndTheGeneratedConfig) {
    StartAgent("127.0.5.3", {"--status-steps", "1"});
    const Bytes request = PatternBytes(200, 9);
    WriteFileData((work / "request.cfg").string(), request);
    ASSERT_EQ(CurlPut(work / "request.cfg", "request.cfg").exitCode, 0);
    EXPECT_EQ(CurlText("status.bin"), "Generating config file: step 1 of 1");
    EXPECT_EQ(CurlText("status.bin"), "Config file done");
    const RunResult get = CurlGet("config.cfg", work / "config.cfg");
    EXPECT_EQ(get.exitCode, 0) << get.output;
    const Bytes config = ReadFileData((work / "config.cfg").string());
    EXPECT_TRUE(config == GenerateConfig(request));
    EXPECT_EQ(Text(config).rfind("Len:", 0), 0u);
}

TEST_F(AgentE2E, ErrorFaultAndUnknownFileReachTheClient) {
    StartAgent("127.0.5.4", {"--fault", "error:image.bin:2:Flash locked"});
    WriteFileData((work / "app.bin").string(), PatternBytes(1000));
    const RunResult put = TftpCommand("put " + (work / "app.bin").string() + " image.bin");
    EXPECT_NE(put.output.find("Error code 2: Flash locked"), std::string::npos) << put.output;
    EXPECT_FALSE(fs::exists(work / "agent" / "image.bin"));
    const RunResult get = TftpCommand("get missing.bin " + (work / "missing.bin").string());
    EXPECT_NE(get.output.find("Error code 1: File not found"), std::string::npos) << get.output;
}

TEST_F(AgentE2E, ClientsGetWholeFilesDespiteLossDelayAndDuplicates) {
    StartAgent("127.0.5.5",
               {"--timeout", "200", "--fault", "drop:3", "--fault", "delay:5:300", "--fault",
                "duplicate:7", "--fault", "short:9", "--fault", "drop:2@rom.bin"});
    const RunResult get = CurlGet("eeprom.bin", work / "eeprom.bin");
    EXPECT_EQ(get.exitCode, 0) << get.output;
    EXPECT_TRUE(ReadFileData((work / "eeprom.bin").string()) == EepromImage());

    const Bytes rom = PatternBytes(131072, 5);
    WriteFileData((work / "rom.bin").string(), rom);
    const RunResult put = TftpCommand("put " + (work / "rom.bin").string() + " rom.bin");
    EXPECT_EQ(put.exitCode, 0) << put.output;
    EXPECT_TRUE(ReadFileData((work / "agent" / "rom.bin").string()) == rom);
    EXPECT_NE(agent.Output().find("fault drop at block 2 of rom.bin"), std::string::npos);
}

// These faults fool simple clients, so a hand-made client checks the datagrams themselves:
// where they come from and how long they are.
TEST_F(AgentE2E, PortAndSizeFaultsAreVisibleOnTheWire) {
    StartAgent("127.0.5.6", {"--timeout", "300", "--fault", "wrong-port:2", "--fault", "oversize:3",
                             "--fault", "stray:4"});
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    timeval wait{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in listenAddress{};
    listenAddress.sin_family = AF_INET;
    listenAddress.sin_port = htons(static_cast<std::uint16_t>(agent.Port()));
    ::inet_pton(AF_INET, address.c_str(), &listenAddress.sin_addr);

    struct Got {
        Bytes bytes;
        int port = 0;
    };
    const auto receive = [fd]() {
        std::array<std::uint8_t, 2048> buffer{};
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        return n < 0 ? Got{} : Got{Bytes(buffer.begin(), buffer.begin() + n), ntohs(from.sin_port)};
    };
    const auto send = [fd](const Bytes& bytes, int port, const sockaddr_in& base) {
        sockaddr_in to = base;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
    };

    send(Request(tftp::kOpRrq, "eeprom.bin"), agent.Port(), listenAddress);
    const Got block1 = receive();
    ASSERT_EQ(block1.bytes.size(), 516u);
    const int transferPort = block1.port;
    EXPECT_NE(transferPort, agent.Port());

    send(Ack(1), transferPort, listenAddress);
    const Got misplaced = receive();
    EXPECT_EQ(tftp::BlockOf(misplaced.bytes), 2);
    EXPECT_NE(misplaced.port, transferPort);
    EXPECT_NE(misplaced.port, agent.Port());
    const Got resend = receive();  // after the agent's time-out, from the right port
    EXPECT_EQ(resend.port, transferPort);
    EXPECT_EQ(resend.bytes, misplaced.bytes);

    send(Ack(2), transferPort, listenAddress);
    const Got big = receive();
    EXPECT_EQ(big.bytes.size(), kOversizeLength);
    EXPECT_EQ(big.port, transferPort);
    EXPECT_EQ(tftp::BlockOf(receive().bytes), 3);

    send(Ack(3), transferPort, listenAddress);
    const Got stray = receive();
    const Got block4 = receive();
    EXPECT_NE(stray.port, transferPort);
    EXPECT_EQ(tftp::BlockOf(stray.bytes), 4);
    EXPECT_EQ(block4.port, transferPort);
    const Bytes eeprom = EepromImage();
    EXPECT_TRUE(Bytes(block4.bytes.begin() + 4, block4.bytes.end()) ==
                Bytes(eeprom.begin() + 1536, eeprom.begin() + 2048));
    ::close(fd);
}

// Each of the agent's packets waits out the latency before it leaves, so an exchange of N of
// them takes at least N times as long; the files still arrive whole.
TEST_F(AgentE2E, TftpGetsAndPutsWholeFilesThroughALatency) {
    constexpr int kLatencyMs = 5;
    StartAgent("127.0.14.1", {"--latency", std::to_string(kLatencyMs)});
    const auto elapsedMs = [](std::chrono::steady_clock::time_point since) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - since)
            .count();
    };

    auto start = std::chrono::steady_clock::now();
    const RunResult get = TftpCommand("get eeprom.bin " + (work / "eeprom.bin").string());
    const auto getMs = elapsedMs(start);
    EXPECT_EQ(get.exitCode, 0) << get.output;
    const Bytes eeprom = ReadFileData((work / "eeprom.bin").string());
    EXPECT_TRUE(eeprom == EepromImage());
    const std::size_t dataPackets = eeprom.size() / tftp::kBlockSize + 1;
    EXPECT_GE(getMs, static_cast<long>(dataPackets) * kLatencyMs);

    const Bytes image = PatternBytes(40000, 11);
    WriteFileData((work / "app.bin").string(), image);
    start = std::chrono::steady_clock::now();
    const RunResult put = TftpCommand("put " + (work / "app.bin").string() + " image.bin");
    const auto putMs = elapsedMs(start);
    EXPECT_EQ(put.exitCode, 0) << put.output;
    EXPECT_TRUE(ReadFileData((work / "agent" / "image.bin").string()) == image);
    const std::size_t acks = image.size() / tftp::kBlockSize + 2;  // ACK 0 and one per block
    EXPECT_GE(putMs, static_cast<long>(acks) * kLatencyMs);
}

// curl asks for tsize and blksize; the log names what each request asked, the OACK, and each
// transfer's DATA count with the agreed sizes.
TEST_F(AgentE2E, CurlNegotiatesABlockSizeAndTheLogRecordsIt) {
    StartAgent("127.0.27.1", {"--max-blksize", "1428"});
    const RunResult get = RunProgram({"curl", "-sS", "--max-time", "20", "--tftp-blksize", "4096",
                                      "-o", (work / "eeprom.bin").string(), Url("eeprom.bin")});
    EXPECT_EQ(get.exitCode, 0) << get.output;
    EXPECT_TRUE(ReadFileData((work / "eeprom.bin").string()) == EepromImage());
    const Bytes image = PatternBytes(100013);
    WriteFileData((work / "app.bin").string(), image);
    const RunResult put = RunProgram({"curl", "-sS", "--max-time", "20", "--tftp-blksize", "1000",
                                      "-T", (work / "app.bin").string(), Url("image.bin")});
    EXPECT_EQ(put.exitCode, 0) << put.output;
    EXPECT_TRUE(ReadFileData((work / "agent" / "image.bin").string()) == image);

    const std::string log = agent.Output();
    for (const char* line : {" options tsize=0 blksize=4096", "OACK blksize=1428 tsize=32768 to ",
                             "ended: sent 32768 bytes; 23 DATA sent, blksize 1428, windowsize 1",
                             " options tsize=100013 blksize=1000", "OACK blksize=1000 tsize=100013",
                             "received image.bin, 100013 bytes in 101 DATA, blksize 1000, "
                             "windowsize 1"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

TEST_F(AgentE2E, IdleAgentSleepsAndEndsOnSigterm) {
    StartAgent("127.0.5.7");
    ::usleep(1000000);
    std::ifstream stat("/proc/" + std::to_string(agent.Pid()) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) {
        values.push_back(value);
    }
    ASSERT_GT(values.size(), 13u);
    const long ticks = std::stol(values[11]) + std::stol(values[12]);  // utime + stime
    EXPECT_LT(ticks, 10) << "an idle agent must not spin";
    EXPECT_EQ(agent.Stop(), 0);
}

TEST(AgentSimCommandLine, HelpAddressRulesAndBadArguments) {
    const std::string program = (BinDir() / "agent-sim").string();
    const RunResult help = RunProgram({program, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.output.find("--fault SPEC"), std::string::npos);
    EXPECT_NE(help.output.find("--allow-non-loopback"), std::string::npos);
    EXPECT_NE(help.output.find("--latency MS"), std::string::npos);
    EXPECT_NE(help.output.find("--max-windowsize N"), std::string::npos);

    // Refused before any socket exists: tests never reach beyond loopback.
    const RunResult outside = RunProgram({program, "--address", "192.0.2.1", "--port", "0"}, 5000);
    EXPECT_EQ(outside.exitCode, 2);
    EXPECT_NE(outside.output.find("127.0.0.0/8"), std::string::npos) << outside.output;

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--fault", "drop:x"},
                                                {"--port", "70000"},
                                                {"--address", "1.2.3"},
                                                {"--timeout", "0"},
                                                {"--latency", "60001"},
                                                {"--latency", "-1"},
                                                {"--latency", "5ms"},
                                                {"--max-blksize", "7"},
                                                {"--max-windowsize", "65"},
                                                {"--unknown"},
                                                {"--dir"}}) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), bad.begin(), bad.end());
        EXPECT_EQ(RunProgram(argv, 5000).exitCode, 2) << bad.front();
    }
}

TEST(AgentSimCommandLine, EphemeralPortIsReportedAndABusyPortFails) {
    AgentProcess first;
    ASSERT_TRUE(first.Start({"--address", "127.0.5.8", "--port", "0"})) << first.Output();
    EXPECT_EQ(first.Output().rfind("ready 127.0.5.8:", 0), 0u);
    EXPECT_GT(first.Port(), 0);
    const RunResult second = RunProgram({(BinDir() / "agent-sim").string(), "--address",
                                         "127.0.5.8", "--port", std::to_string(first.Port())},
                                        5000);
    EXPECT_EQ(second.exitCode, 1) << second.output;
    EXPECT_EQ(first.Stop(), 0);
}

}  // namespace
}  // namespace kalvoran::agentsim::testing

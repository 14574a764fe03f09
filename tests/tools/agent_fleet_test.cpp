// A fleet of agent-sim programs on loopback addresses of their own: every agent answers on its
// address and keeps what it receives in its own folder, and one can be ended while the others
// go on.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "SimWire.h"
#include "support/AgentFleet.h"
#include "support/TempDir.h"

namespace kalvoran::agentsim::testing {
namespace {

using kalvoran::testing::ReadFileData;
using kalvoran::testing::WriteFileData;

namespace fs = std::filesystem;
using kalvoran::testing::AgentFleet;
using kalvoran::testing::AgentLaunch;
using kalvoran::testing::ReadToEnd;

std::string Url(AgentFleet& fleet, std::size_t i, const std::string& name) {
    return "tftp://" + fleet.Address(i) + ":" + std::to_string(fleet.Port(i)) + "/" + name;
}

// Runs the commands side by side and returns their results in the same order.
std::vector<RunResult> RunAll(const std::vector<std::vector<std::string>>& commands,
                              int timeoutMs = 20000) {
    std::vector<RunResult> results(commands.size());
    std::vector<pid_t> pids(commands.size(), -1);
    std::vector<int> fds(commands.size(), -1);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        pids[i] = Spawn(commands[i], fds[i]);
    }
    const auto deadline = Deadline(timeoutMs);
    for (std::size_t i = 0; i < commands.size(); ++i) {
        if (pids[i] < 0) {
            continue;
        }
        std::string ignored;
        ReadToEnd(fds[i], results[i].output, -1, ignored, deadline);
        ::close(fds[i]);
        results[i].exitCode = Reap(pids[i], deadline);
    }
    return results;
}

// A hand-made UDP client of one agent. Once connected to a port, a datagram to that port when
// nobody holds it comes back at once as ECONNREFUSED (from the ICMP port-unreachable) instead of
// going unanswered; until then it hears answers from any port, as the agent's come from a new one.
class Probe {
public:
    Probe(const std::string& address, int port) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        timeval wait{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    }
    ~Probe() { ::close(fd); }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    void ConnectTo(int port) {
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    // Sends bytes and returns the answer, or nullopt with the error in lastError.
    std::optional<Bytes> Exchange(const Bytes& bytes) {
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                 sizeof to);
        std::array<std::uint8_t, 1024> buffer{};
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            lastError = errno;
            return std::nullopt;
        }
        fromPort = ntohs(from.sin_port);
        return Bytes(buffer.begin(), buffer.begin() + n);
    }

    int lastError = 0;
    int fromPort = 0;

private:
    int fd = -1;
    sockaddr_in to{};
};

std::vector<std::string> CurlGet(const std::string& url, const fs::path& to) {
    return {"curl", "-sS", "--max-time", "10", "-o", to.string(), url};
}

TEST(AgentFleet, TwentyAgentsAnswerOnTheirOwnAddressesAndOneCanBeKilled) {
    kalvoran::testing::TempDir work;
    AgentFleet fleet;
    ASSERT_TRUE(fleet.Start("127.0.13.", 1, 20, {"--latency", "1"})) << fleet.Error();
    ASSERT_EQ(fleet.Size(), 20u);
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        const std::string address = "127.0.13." + std::to_string(i + 1);
        EXPECT_EQ(fleet.Address(i), address);
        EXPECT_GT(fleet.Port(i), 0);
        EXPECT_TRUE(fleet.Running(i));
    }
    EXPECT_EQ(fleet.Output(19).rfind("ready 127.0.13.20:", 0), 0u) << fleet.Output(19);

    // Every agent serves eeprom.bin, and a file written to it lands in its own folder only.
    std::vector<std::vector<std::string>> commands;
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        commands.push_back(
            CurlGet(Url(fleet, i, "eeprom.bin"), work.Path() / ("eeprom" + std::to_string(i))));
        WriteFileData((work.Path() / ("notes" + std::to_string(i))).string(),
                      PatternBytes(700 + i, static_cast<unsigned>(i)));
        commands.push_back({"curl", "-sS", "--max-time", "10", "-T",
                            (work.Path() / ("notes" + std::to_string(i))).string(),
                            Url(fleet, i, "notes.txt")});
    }
    std::vector<RunResult> results = RunAll(commands);
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        EXPECT_EQ(results[2 * i].exitCode, 0) << fleet.Address(i) << results[2 * i].output;
        EXPECT_EQ(results[2 * i + 1].exitCode, 0) << fleet.Address(i) << results[2 * i + 1].output;
        EXPECT_TRUE(ReadFileData((work.Path() / ("eeprom" + std::to_string(i))).string()) ==
                    EepromImage())
            << fleet.Address(i);
        EXPECT_TRUE(ReadFileData((fleet.Dir(i) / "notes.txt").string()) ==
                    PatternBytes(700 + i, static_cast<unsigned>(i)))
            << fleet.Address(i);
        EXPECT_EQ(std::distance(fs::directory_iterator(fleet.Dir(i)), fs::directory_iterator()), 1)
            << "another agent's file in " << fleet.Dir(i);
    }

    constexpr std::size_t kKilled = 6;
    std::vector<pid_t> pids;
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        pids.push_back(fleet.Pid(i));
    }
    EXPECT_EQ(fleet.Kill(kKilled), 128 + SIGKILL);
    EXPECT_FALSE(fleet.Running(kKilled));
    const int signalled = ::kill(pids[kKilled], 0);
    const int signalError = errno;
    EXPECT_EQ(signalled, -1) << "the killed agent is still there";
    EXPECT_EQ(signalError, ESRCH);

    commands.clear();
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        commands.push_back(
            CurlGet(Url(fleet, i, "eeprom.bin"), work.Path() / ("again" + std::to_string(i))));
    }
    commands.erase(commands.begin() + kKilled);
    results = RunAll(commands);
    results.insert(results.begin() + kKilled, RunResult{});
    for (std::size_t i = 0; i < fleet.Size(); ++i) {
        EXPECT_EQ(fleet.Running(i), i != kKilled) << fleet.Address(i);
        if (i == kKilled) {
            Probe probe(fleet.Address(i), fleet.Port(i));
            probe.ConnectTo(fleet.Port(i));
            EXPECT_FALSE(probe.Exchange(Request(tftp::kOpRrq, "eeprom.bin")).has_value());
            EXPECT_EQ(probe.lastError, ECONNREFUSED) << "nobody may listen on the killed address";
        } else {
            EXPECT_EQ(results[i].exitCode, 0) << fleet.Address(i) << results[i].output;
            EXPECT_TRUE(ReadFileData((work.Path() / ("again" + std::to_string(i))).string()) ==
                        EepromImage());
        }
    }

    // A stopped agent ends as on SIGTERM; the others still run.
    EXPECT_EQ(fleet.Stop(0), 0);
    EXPECT_FALSE(fleet.Running(0));
    for (std::size_t i = 1; i < fleet.Size(); ++i) {
        EXPECT_EQ(fleet.Running(i), i != kKilled);
        EXPECT_EQ(::kill(pids[i], 0) == 0, i != kKilled);
    }
}

TEST(AgentFleet, OptionsForAllAndForOneAgentAndAGivenFolder) {
    kalvoran::testing::TempDir work;
    std::vector<pid_t> pids;
    {
        AgentFleet fleet(work.Path() / "agents");
        ASSERT_TRUE(fleet.Start(
            std::vector<AgentLaunch>{{"127.0.13.21", {"--status-final", "first agent"}},
                                     {"127.0.13.22", {"--status-final", "second agent"}},
                                     {"127.0.13.23"}},
            {"--status-steps", "0"}))
            << fleet.Error();
        ASSERT_EQ(fleet.Size(), 3u);
        pids = {fleet.Pid(0), fleet.Pid(1)};
        WriteFileData(work.File("app.bin"), PatternBytes(3000));
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(fleet.Dir(i), work.Path() / "agents" / fleet.Address(i));
            const RunResult put = RunProgram({"curl", "-sS", "--max-time", "10", "-T",
                                              work.File("app.bin"), Url(fleet, i, "image.bin")});
            EXPECT_EQ(put.exitCode, 0) << put.output;
            EXPECT_TRUE(ReadFileData((fleet.Dir(i) / "image.bin").string()) == PatternBytes(3000));
            const RunResult status =
                RunProgram({"curl", "-sS", "--max-time", "10", Url(fleet, i, "status.bin")});
            EXPECT_EQ(status.output, i == 0   ? "first agent"
                                     : i == 1 ? "second agent"
                                              : "Memory compare Flash/Ram is OK");
        }

        // Killed in the middle of a read, its transfer port is gone with it.
        Probe probe(fleet.Address(2), fleet.Port(2));
        const auto block1 = probe.Exchange(Request(tftp::kOpRrq, "eeprom.bin"));
        ASSERT_TRUE(block1.has_value());
        probe.ConnectTo(probe.fromPort);
        const auto block2 = probe.Exchange(Ack(1));
        ASSERT_TRUE(block2.has_value());
        EXPECT_EQ(tftp::BlockOf(*block2), 2);
        EXPECT_EQ(fleet.Kill(2), 128 + SIGKILL);
        EXPECT_FALSE(probe.Exchange(Ack(2)).has_value());
        EXPECT_EQ(probe.lastError, ECONNREFUSED);
        EXPECT_TRUE(fleet.Running(0));
        EXPECT_TRUE(fleet.Running(1));
    }
    // The agents end with the fleet; the folder given stays, with what they received.
    for (const pid_t pid : pids) {
        EXPECT_EQ(::kill(pid, 0), -1) << "agent " << pid << " outlived its fleet";
    }
    EXPECT_TRUE(fs::exists(work.Path() / "agents" / "127.0.13.21" / "image.bin"));
}

TEST(AgentFleet, StartReportsTheAgentsThatCouldNotStart) {
    AgentFleet fleet;
    ASSERT_TRUE(fleet.Start(std::vector<std::string>{"127.0.13.30"})) << fleet.Error();
    // The same address and port again cannot be bound; a bad option ends agent-sim at once.
    EXPECT_FALSE(fleet.Start(
        std::vector<AgentLaunch>{
            {"127.0.13.31"}, {"127.0.13.30"}, {"127.0.13.32", {"--fault", "drop:x"}}},
        {"--port", std::to_string(fleet.Port(0))}));
    EXPECT_EQ(fleet.Error().find("127.0.13.31"), std::string::npos) << fleet.Error();
    EXPECT_NE(fleet.Error().find("agent 2 on 127.0.13.30"), std::string::npos) << fleet.Error();
    EXPECT_NE(fleet.Error().find("agent 3 on 127.0.13.32"), std::string::npos) << fleet.Error();
    ASSERT_EQ(fleet.Size(), 4u);
    EXPECT_TRUE(fleet.Running(0));
    EXPECT_TRUE(fleet.Running(1));
    EXPECT_FALSE(fleet.Running(2));
    EXPECT_FALSE(fleet.Running(3));
    EXPECT_NE(fleet.Output(3).find("bad fault: drop:x"), std::string::npos) << fleet.Output(3);
    const RunResult status =
        RunProgram({"curl", "-sS", "--max-time", "10", Url(fleet, 1, "status.bin")});
    EXPECT_EQ(status.output, "Agent ready");
}

}  // namespace
}  // namespace kalvoran::agentsim::testing

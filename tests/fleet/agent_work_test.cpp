// One agent's work as the fleet runs it, through the engine the client runs, in simulated time:
// the simulated agent's protocol machine behind a simulated socket and scripted pings. Each
// chain's end becomes the agent's result and reason as the fleet reports them.
#include "fleet/AgentWork.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "support/AgentOnWire.h"
#include "support/FakeClock.h"
#include "support/Pattern.h"
#include "support/ScriptedPing.h"
#include "support/TempDir.h"
#include "tftp/ConsoleReport.h"
#include "tftp/StatusDisplay.h"

namespace kalvoran::fleet {
namespace {

using testing::PatternString;
using testing::TempDir;
using testing::WriteFileBytes;

constexpr net::Octets kAgent = {127, 0, 16, 200};

// A worker's view that runs a test's action where the fleet's cancel would be taken.
class PumpHook final : public LinkObserver {
public:
    void PhaseBegun(LinkPhase begun) override { phase = begun; }
    void StatusLine(std::string_view text) override { lastLine = text; }
    void Pump() override {
        if (onPump) {
            onPump();
        }
    }
    LinkPhase phase = LinkPhase::Ping;
    std::string lastLine;
    std::function<void()> onPump;
};

// The image is 20 blocks; the request asks for agent 7's configuration.
class AgentWorkTest : public ::testing::Test {
public:
    AgentWorkTest() {
        WriteFileBytes(dir.File("app.bin"), PatternString(20 * 512 - 7));
        WriteFileBytes(dir.File("request.cfg"), "agent=7\r\n");
        ping.answer = [this](std::uint32_t, std::uint32_t) {
            clock.Advance(1);
            return true;
        };
    }

    // The job against an agent with these settings.
    AgentEnd Run(const AgentJob& job, agentsim::Settings settings = {}) {
        wire = std::make_unique<fakes::AgentOnWire>(clock, net::ToStorageOrder(kAgent),
                                                    std::move(settings));
        link =
            std::make_unique<AgentLink>(display, clock, LinkSetup{false, wire.get(), ping.Path()});
        display.ClearCancel();  // a worker's display is new for each job
        return EndOf(RunJob(job, *link));
    }
    AgentJob Job(Action action, bool verify = false) {
        AgentJob job;
        job.action = action;
        job.sendType = action == Action::Send ? APPLICATION_UPGRADE : CREATE_CONFIG_FILE;
        job.file = action == Action::Send ? dir.File("app.bin") : dir.File("request.cfg");
        job.destination = dir.File(action == Action::Eeprom ? "a.eeprom.bin" : "a.config.cfg");
        job.verify = verify;
        job.agent = kAgent;
        return job;
    }
    static agentsim::Settings Status(const char* finalText, int steps = 0) {
        agentsim::Settings settings;
        settings.statusSteps = steps;
        settings.statusFinal = finalText;
        return settings;
    }

    TempDir dir;
    fakes::FakeClock clock;
    fakes::ScriptedPing ping;
    PumpHook hook;
    ConsoleReport console{nullptr, nullptr};
    StatusDisplay display{hook, console};
    std::unique_ptr<fakes::AgentOnWire> wire;
    std::unique_ptr<AgentLink> link;
};

TEST_F(AgentWorkTest, EachVerdictOfTheAgentIsTheRightResultAndReason) {
    const struct {
        const char* label;
        Action action;
        bool verify;
        agentsim::Settings settings;
        int result;
        std::string reason;
        std::string status;
    } cases[] = {
        {"flash OK", Action::Send, true, Status(""), 0, "", "Memory compare Flash/Ram is OK"},
        {"flash in error", Action::Send, true, Status("Memory compare Flash/Ram is in error"), 4,
         "the agent reported: Memory compare Flash/Ram is in error",
         "Memory compare Flash/Ram is in error"},
        {"no final status in 20 reads", Action::Send, true, Status("", 30), 4,
         "the agent reported: Programming flash: step ", "Programming flash: step "},
        {"no status asked", Action::Send, false, Status("Unable to create thread"), 0, "", ""},
        {"config failed", Action::ConfigFile, false, Status("Config failed"), 4,
         "the agent reported: Config failed", "Config failed"},
        {"status read", Action::Status, false, Status("", 3), 0, "", "Agent ready"},
        {"status refused with ERROR", Action::Status, false,
         [] {
             agentsim::Settings settings;
             settings.faults.push_back(*agentsim::ParseFault("error:status.bin:1"));
             return settings;
         }(),
         3, "ACK: error code: 1 msg: File not found", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const AgentEnd end = Run(Job(c.action, c.verify), c.settings);
        EXPECT_EQ(end.result, c.result);
        EXPECT_TRUE(end.reason.starts_with(c.reason)) << end.reason;
        EXPECT_EQ(end.reason.empty(), c.reason.empty()) << end.reason;
        EXPECT_TRUE(end.status.starts_with(c.status)) << end.status;
        EXPECT_EQ(end.status.empty(), c.status.empty()) << end.status;
    }
}

TEST_F(AgentWorkTest, AConfigFileJobSendsTheRequestOnceAndFetchesWhatTheAgentGenerated) {
    const AgentEnd end = Run(Job(Action::ConfigFile), Status("", 1));
    EXPECT_EQ(end.result, 0) << end.reason;
    EXPECT_EQ(end.status, "Config file done");
    const auto fetched = testing::ReadFileBytes(dir.File("a.config.cfg"));
    EXPECT_FALSE(fetched.empty());
    EXPECT_EQ(end.bytes, static_cast<std::int64_t>(fetched.size()));
}

TEST_F(AgentWorkTest, AFailureNoSessionPutIntoWordsStillHasAReason) {
    AgentJob job = Job(Action::Eeprom);
    job.agent = {0, 0, 0, 0};
    AgentEnd end = Run(job);
    EXPECT_EQ(end.result, 3);
    EXPECT_EQ(end.reason, "Not a valid IP address");

    ping.answer = nullptr;  // nobody answers
    end = Run(Job(Action::Eeprom));
    EXPECT_EQ(end.result, 1);
    EXPECT_EQ(end.reason, "Unable to contact server.");
}

// Every session of a job asks for the fleet's options. Asked for values the engine cannot carry,
// each refuses before its request, which shows that the options reached it.
TEST_F(AgentWorkTest, EveryTransferOfAJobAsksForTheFleetsOptions) {
    const struct {
        Action action;
        bool verify;
    } jobs[] = {{Action::Send, false},
                {Action::Send, true},
                {Action::Eeprom, false},
                {Action::ConfigFile, false}};
    for (const auto& j : jobs) {
        SCOPED_TRACE(std::string(ActionName(j.action)) + (j.verify ? " --verify" : ""));
        AgentJob job = Job(j.action, j.verify);
        job.asked = {7, 65};
        const AgentEnd end = Run(job);
        EXPECT_EQ(end.result, 2);
        EXPECT_EQ(end.reason, "Transfer options out of range: blksize 7, windowsize 65");
        EXPECT_TRUE(wire->Sent().empty()) << "no request went out";
    }
}

// The fleet's cancel arrives wherever the chain is: every one ends with result 2 "Cancelled.",
// never as a failed job or a network failure, and nothing follows it.
TEST_F(AgentWorkTest, ACancelAnywhereInTheChainIsResult2) {
    const struct {
        const char* label;
        Action action;
        bool verify;
        int statusSteps;
        std::function<bool(AgentWorkTest&)> when;
    } cases[] = {
        {"during the send", Action::Send, true, 3,
         [](AgentWorkTest& t) { return t.wire->DataPacketsSent() >= 5; }},
        {"during the status poll", Action::Send, true, 8,
         [](AgentWorkTest& t) { return t.hook.phase == LinkPhase::Status; }},
        {"during the wait for the generated file", Action::ConfigFile, false, 1,
         [](AgentWorkTest& t) { return t.hook.lastLine == "Getting config file: please wait."; }},
        {"during the fetch", Action::Eeprom, false, 0,
         [](AgentWorkTest& t) { return t.hook.phase == LinkPhase::Fetching; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        bool closed = false;
        hook.onPump = [&] {
            if (!closed && c.when(*this)) {
                closed = true;
                link->Close();
            }
        };
        agentsim::Settings settings;
        settings.statusSteps = c.statusSteps;
        const AgentEnd end = Run(Job(c.action, c.verify), settings);
        hook.onPump = nullptr;
        EXPECT_TRUE(closed);
        EXPECT_EQ(end.result, 2);
        EXPECT_EQ(end.reason, "Cancelled.");
    }
}

// The exit code of every end: the client's 0 to 3, and the fleet's 4 for the agent's verdicts.
TEST(ChainEnds, EveryEndHasItsResultCode) {
    const struct {
        ChainEnd end;
        int code;
    } ends[] = {{ChainEnd::Success, 0},        {ChainEnd::NoPingAnswer, 1},
                {ChainEnd::Refused, 2},        {ChainEnd::Cancelled, 2},
                {ChainEnd::NetworkFailure, 3}, {ChainEnd::JobFailed, 4},
                {ChainEnd::NoFinalStatus, 4}};
    for (const auto& e : ends) {
        EXPECT_EQ(ResultCodeOf(e.end), e.code) << static_cast<int>(e.end);
    }
}

}  // namespace
}  // namespace kalvoran::fleet

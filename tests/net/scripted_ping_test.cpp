// CPingService in simulated time through the scripted ICMP module: the result line and reply
// count of answered and unanswered echoes, a failed open after an earlier answer, and the wait
// callback handed through to the module, withdrawn again, and safe to release from.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "net/PingService.h"
#include "net/ping_test_support.h"
#include "support/ScriptedPing.h"

namespace kalvoran::net {
namespace {

using fakes::ScriptedPing;
using testing::Address;

// What the script saw of one echo.
struct SeenEcho {
    std::uint32_t destination;
    std::uint32_t timeoutMs;
};

// The line CPingService writes for an answer from 127.0.6.last: the scripted module answers
// with round trip 0 and TTL 64.
std::string AnswerLine(int last) {
    char line[64];
    std::snprintf(line, sizeof line, "Addr: 127.0.6.%d, RTT: %dmS, TTL: %d", last, 0, 64);
    return line;
}

struct WaitCalls {
    int count = 0;
    static void Count(void* context) { ++static_cast<WaitCalls*>(context)->count; }
};

TEST(ScriptedPingService, ReportsAnsweredAndUnansweredEchoesInSimulatedTime) {
    struct Case {
        int last;  // target 127.0.6.last
        bool answered;
    };
    // Alternating, so that each line and count must come from its own echo.
    const Case cases[] = {{50, true}, {51, false}, {52, true}, {52, false}, {53, false}};
    ScriptedPing script;
    ASSERT_TRUE(script.Loaded()) << script.Path();
    std::int64_t simulatedMs = 0;
    std::vector<SeenEcho> seen;
    bool answerNext = false;
    script.answer = [&](std::uint32_t destination, std::uint32_t timeoutMs) {
        seen.push_back({destination, timeoutMs});
        if (!answerNext) {
            simulatedMs += timeoutMs;  // a silent agent lets the whole time-out pass
        }
        return answerNext;
    };
    CPingService ping(script.Path());
    for (const Case& c : cases) {
        answerNext = c.answered;
        seen.clear();
        const std::int64_t before = simulatedMs;
        ping.SetTarget(Address(127, 0, 6, c.last));
        EXPECT_EQ(ping.Ping(), CPingService::kPingDone) << c.last;
        ASSERT_EQ(seen.size(), 1u) << c.last;
        EXPECT_EQ(seen[0].destination, Address(127, 0, 6, c.last));
        EXPECT_EQ(seen[0].timeoutMs, CPingService::kEchoTimeoutMs);
        if (c.answered) {
            EXPECT_EQ(ping.replyCount, 1u) << c.last;
            EXPECT_EQ(std::string(ping.resultText), AnswerLine(c.last));
            EXPECT_EQ(simulatedMs, before);
        } else {
            EXPECT_EQ(ping.replyCount, 0u) << c.last;
            EXPECT_STREQ(ping.resultText, "No response from server") << c.last;
            EXPECT_EQ(simulatedMs - before, CPingService::kEchoTimeoutMs);
        }
    }
    EXPECT_TRUE(ping.ModuleLoaded());
}

TEST(ScriptedPingService, FailedOpenLeavesNoReplyAfterAnEarlierAnswer) {
    ScriptedPing script;
    ASSERT_TRUE(script.Loaded()) << script.Path();
    int echoes = 0;
    script.answer = [&](std::uint32_t, std::uint32_t) {
        ++echoes;
        return true;
    };
    CPingService ping(script.Path());
    ping.SetTarget(Address(127, 0, 6, 60));
    ASSERT_EQ(ping.Ping(), CPingService::kPingDone);
    ASSERT_EQ(ping.replyCount, 1u);

    script.failOpen(true);
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(ping.Ping(), CPingService::kOpenFailed);
        EXPECT_STREQ(ping.resultText, "Unable to open ping service.");
        EXPECT_EQ(ping.replyCount, 0u);
    }
    EXPECT_EQ(echoes, 1);  // no echo goes out without a handle

    script.failOpen(false);
    EXPECT_EQ(ping.Ping(), CPingService::kPingDone);
    EXPECT_EQ(ping.replyCount, 1u);
    EXPECT_EQ(std::string(ping.resultText), AnswerLine(60));
    EXPECT_EQ(echoes, 2);
}

TEST(ScriptedPingService, WaitCallbackIsHandedToTheModuleAtEveryPingAndWithdrawnByRelease) {
    ScriptedPing script;
    ASSERT_TRUE(script.Loaded()) << script.Path();
    script.answer = [](std::uint32_t, std::uint32_t) { return true; };
    const std::uint32_t target = Address(127, 0, 6, 61);
    WaitCalls calls;
    CPingService ping(script.Path());
    ping.SetTarget(target);
    ping.SetWaitCallback(&WaitCalls::Count, &calls);
    CPingService other(script.Path());  // shares the loaded module, has no callback
    other.SetTarget(target);

    // Each step: who pings, and how many calls of the first service's callback that adds.
    struct Step {
        const char* what;
        CPingService* service;
        bool clearCallbackFirst;
        int addedCalls;
    };
    const Step steps[] = {
        {"with callback", &ping, false, 1},
        {"again", &ping, false, 1},
        {"another service without callback", &other, false, 0},
        {"callback cleared", &ping, true, 0},
    };
    for (const Step& step : steps) {
        if (step.clearCallbackFirst) {
            ping.SetWaitCallback(nullptr, nullptr);
        }
        const int before = calls.count;
        EXPECT_EQ(step.service->Ping(), CPingService::kPingDone) << step.what;
        EXPECT_EQ(step.service->replyCount, 1u) << step.what;
        EXPECT_EQ(calls.count - before, step.addedCalls) << step.what;
    }

    // After Release the module stays loaded (the script holds it) but must not call back.
    ping.SetWaitCallback(&WaitCalls::Count, &calls);
    ASSERT_EQ(ping.Ping(), CPingService::kPingDone);
    const int beforeRelease = calls.count;
    ping.Release();
    EXPECT_EQ(script.EchoDirectly(target), 1u);
    EXPECT_EQ(calls.count, beforeRelease);
}

TEST(ScriptedPingService, ReleaseFromTheWaitCallbackTakesEffectWhenTheEchoIsOver) {
    ScriptedPing script;
    ASSERT_TRUE(script.Loaded()) << script.Path();
    script.answer = [](std::uint32_t, std::uint32_t) { return true; };
    struct Closer {
        CPingService ping;
        int calls = 0;
        bool loadedDuringCall = false;
        explicit Closer(const char* path) : ping(path) {}
        // What the close handler does when it runs nested inside the echo's wait.
        static void Release(void* context) {
            auto* self = static_cast<Closer*>(context);
            ++self->calls;
            self->ping.Release();
            self->loadedDuringCall = self->ping.ModuleLoaded();
        }
    } closer(script.Path());
    closer.ping.SetTarget(Address(127, 0, 6, 62));
    closer.ping.SetWaitCallback(&Closer::Release, &closer);
    for (int round = 0; round < 2; ++round) {  // the next Ping loads the module again
        EXPECT_EQ(closer.ping.Ping(), CPingService::kPingDone);
        EXPECT_EQ(closer.calls, round + 1);
        EXPECT_TRUE(closer.loadedDuringCall);
        EXPECT_EQ(closer.ping.replyCount, 1u);
        EXPECT_EQ(std::string(closer.ping.resultText), AnswerLine(62));
        EXPECT_FALSE(closer.ping.ModuleLoaded());
    }
}

}  // namespace
}  // namespace kalvoran::net

// CPingService through the scripted ICMP module: the wait callback handed through to the module,
// withdrawn again, and safe to release from. (Answered, unanswered and failed echoes are the
// real module's tests; the sessions' tests use the scripted module throughout.)
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "net/PingService.h"
#include "net/ping_test_support.h"
#include "support/ScriptedPing.h"

namespace kalvoran::net {
namespace {

using fakes::ScriptedPing;
using testing::Address;

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

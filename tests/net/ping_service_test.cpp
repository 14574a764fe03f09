// CPingService over the real module: the result line of an answered echo, "No response from
// server" with the wait callback running through the time-out, the failures before an echo is
// sent (codes 2, 4, 5, which leave no reply counted) and the release and reload of its resources.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "net/ping_test_support.h"
#include "support/ProgramPath.h"

namespace kalvoran::net {
namespace {

using testing::Address;
using testing::IcmpModule;
using testing::NetworkSetup;
using testing::NowMs;
using testing::RunInPrivateNetwork;

struct ResultLine {
    int octets[4] = {-1, -1, -1, -1};
    int rtt = -1;
    int ttl = -1;
};

// Reads "Addr: %d.%d.%d.%d, RTT: %dmS, TTL: %d" and insists that nothing else is on the line.
bool ParseResultLine(const char* text, ResultLine& line) {
    int consumed = -1;
    const int fields = std::sscanf(text, "Addr: %d.%d.%d.%d, RTT: %dmS, TTL: %d%n", &line.octets[0],
                                   &line.octets[1], &line.octets[2], &line.octets[3], &line.rtt,
                                   &line.ttl, &consumed);
    return fields == 6 && consumed == static_cast<int>(std::strlen(text));
}

// The test programs' own directory (build/tests), where the test-only modules lie below.
std::string TestDirectory() {
    return kalvoran::testing::ProgramDirectory().string();
}

TEST(PingService, ReportsTheReplyingAddressRoundTripAndTtl) {
    const int lastOctets[] = {10, 11, 254};
    CPingService ping;
    for (int last : lastOctets) {
        ping.SetTarget(Address(127, 0, 6, last));
        ASSERT_EQ(ping.Ping(), CPingService::kPingDone) << ping.resultText;
        EXPECT_EQ(ping.replyCount, 1u);
        ResultLine line;
        ASSERT_TRUE(ParseResultLine(ping.resultText, line)) << ping.resultText;
        EXPECT_EQ(line.octets[0], 127);
        EXPECT_EQ(line.octets[1], 0);
        EXPECT_EQ(line.octets[2], 6);
        EXPECT_EQ(line.octets[3], last);
        EXPECT_GE(line.rtt, 0);
        EXPECT_LT(line.rtt, 5000);
        EXPECT_EQ(line.ttl, 64);  // Linux loopback
    }
    EXPECT_TRUE(ping.ModuleLoaded());
}

TEST(PingService, PingsThroughEitherSocketKind) {
    for (int kind : {ICMP_SOCKET_RAW, ICMP_SOCKET_DATAGRAM}) {
        const std::uint32_t target = Address(127, 0, 6, kind == ICMP_SOCKET_RAW ? 12 : 13);
        const int result = RunInPrivateNetwork(NetworkSetup{}, [&] {
            IcmpModule module;  // the very module the service loads, so the choice carries over
            CHILD_CHECK(module.Complete());
            module.select(kind);
            CPingService ping;
            ping.SetTarget(target);
            CHILD_CHECK(ping.Ping() == CPingService::kPingDone);
            ResultLine line;
            CHILD_CHECK(ParseResultLine(ping.resultText, line));
            CHILD_CHECK(line.octets[3] == (kind == ICMP_SOCKET_RAW ? 12 : 13));
            CHILD_CHECK(line.ttl == 64);
            CHILD_CHECK(ping.replyCount == 1);
            ping.Release();
            return 0;
        });
        EXPECT_EQ(result, 0) << "socket kind " << kind;
    }
}

TEST(PingService, SaysNoResponseFromServerWhenTheEchoGoesUnanswered) {
    NetworkSetup setup;
    const int result = RunInPrivateNetwork(setup, [] {
        int waitCalls = 0;
        CPingService ping;
        ping.SetWaitCallback([](void* context) { ++*static_cast<int*>(context); }, &waitCalls);
        ping.SetTarget(Address(127, 0, 6, 14));
        CHILD_CHECK(ping.Ping() == CPingService::kPingDone);
        CHILD_CHECK(ping.replyCount == 1);
        NetworkSetup silent;
        silent.answerEchoRequests = false;
        CHILD_CHECK(testing::ApplyNetworkSetup(silent));
        waitCalls = 0;
        const std::int64_t start = NowMs();
        CHILD_CHECK(ping.Ping() == CPingService::kPingDone);
        const std::int64_t waited = NowMs() - start;
        CHILD_CHECK(std::strcmp(ping.resultText, "No response from server") == 0);
        CHILD_CHECK(ping.replyCount == 0);
        CHILD_CHECK(waited >= 5000);  // the full echo time-out, cut into slices
        CHILD_CHECK(waited < 6500);
        constexpr int kSlices = static_cast<int>(CPingService::kEchoTimeoutMs) / ICMP_WAIT_SLICE_MS;
        // Called throughout the wait; every slice overruns its 20 ms a little, so over 5 seconds
        // the count falls short of kSlices by more than a few.
        CHILD_CHECK(waitCalls >= kSlices / 2);
        return 0;
    });
    EXPECT_EQ(result, 0);
}

// Pings once through the real module so that replyCount is 1, then switches to modulePath.
void PingThenSwitchModule(CPingService& ping, std::uint32_t target, const std::string& path) {
    ping.SetTarget(target);
    ASSERT_EQ(ping.Ping(), CPingService::kPingDone);
    ASSERT_EQ(ping.replyCount, 1u);
    ping.Release();
    ping.SetModulePath(path.c_str());
}

TEST(PingService, FailuresBeforeTheEchoLeaveNoReplyCounted) {
    struct Case {
        const char* what;
        std::string path;
        int code;
        const char* text;
    };
    const std::string tests = TestDirectory();
    ASSERT_FALSE(tests.empty());
    const Case cases[] = {
        {"no module", tests + "/modules/libkalvoran-icmp-absent.so", CPingService::kModuleMissing,
         "Unable to locate ICMP.DLL!"},
        // Relative to the working directory it exists, but only absolute paths are loaded.
        {"relative path", "../lib/kalvoran/libkalvoran-icmp.so", CPingService::kModuleMissing,
         "Unable to locate ICMP.DLL!"},
        {"path too long", "/" + std::string(CPingService::kModulePathSize, 'x'),
         CPingService::kModuleMissing, "Unable to locate ICMP.DLL!"},
        {"module without IcmpSendEcho", tests + "/modules/libkalvoran-icmp-incomplete.so",
         CPingService::kFunctionMissing, "Failed to get proc addr for function."},
    };
    ASSERT_EQ(chdir(tests.c_str()), 0);
    int last = 20;
    for (const Case& c : cases) {
        CPingService ping;
        PingThenSwitchModule(ping, Address(127, 0, 6, last++), c.path);
        for (int attempt = 0; attempt < 2; ++attempt) {  // the same outcome every time
            std::memset(ping.resultText, '#', sizeof ping.resultText - 1);
            EXPECT_EQ(ping.Ping(), c.code) << c.what;
            EXPECT_STREQ(ping.resultText, c.text) << c.what;
            EXPECT_EQ(ping.replyCount, 0u) << c.what;  // the earlier answer does not survive
        }
        ping.Release();
        ping.SetModulePath(nullptr);  // back to the installed module
        EXPECT_EQ(ping.Ping(), CPingService::kPingDone) << c.what;
        EXPECT_EQ(ping.replyCount, 1u) << c.what;
    }
}

TEST(PingService, UnopenableServiceGivesCodeFive) {
    NetworkSetup setup;
    setup.datagramSocketsAllowed = false;
    const int result = RunInPrivateNetwork(setup, [] {
        IcmpModule module;
        CHILD_CHECK(module.Complete());
        CPingService ping;
        ping.SetTarget(Address(127, 0, 6, 30));
        CHILD_CHECK(ping.Ping() == CPingService::kPingDone);  // automatic: raw socket
        CHILD_CHECK(ping.replyCount == 1);
        module.select(ICMP_SOCKET_DATAGRAM);  // which this namespace does not admit
        CHILD_CHECK(ping.Ping() == CPingService::kOpenFailed);
        CHILD_CHECK(std::strcmp(ping.resultText, "Unable to open ping service.") == 0);
        CHILD_CHECK(ping.replyCount == 0);
        ping.Release();
        return 0;
    });
    EXPECT_EQ(result, 0);
}

TEST(PingService, ReleaseIsSafeToRepeatAndPingReloads) {
    CPingService ping;
    ping.Release();  // nothing created yet
    EXPECT_FALSE(ping.ModuleLoaded());
    ping.SetTarget(Address(127, 0, 6, 40));
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(ping.Ping(), CPingService::kPingDone) << ping.resultText;
        EXPECT_TRUE(ping.ModuleLoaded());
        ResultLine line;
        EXPECT_TRUE(ParseResultLine(ping.resultText, line)) << ping.resultText;
        EXPECT_EQ(line.octets[3], 40);
        ping.Release();
        EXPECT_FALSE(ping.ModuleLoaded());
        ping.Release();
        EXPECT_FALSE(ping.ModuleLoaded());
    }
}

TEST(PingService, DefaultModulePathSitsBesideTheProgram) {
    char path[CPingService::kModulePathSize];
    ASSERT_TRUE(CPingService::DefaultModulePath(path, sizeof path));
    const std::string expected = TestDirectory() + "/../lib/kalvoran/libkalvoran-icmp.so";
    EXPECT_EQ(std::string(path), expected);
    EXPECT_EQ(access(path, R_OK), 0);
    char small[16];
    EXPECT_FALSE(CPingService::DefaultModulePath(small, sizeof small));
    EXPECT_EQ(small[0], '\0');
}

}  // namespace
}  // namespace kalvoran::net

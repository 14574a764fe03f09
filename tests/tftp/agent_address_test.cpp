// The agent address as the window holds it, the one UDP socket, and the PING button.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/RecordingDialogView.h"
#include "support/TempDir.h"
#include "tftp/TftpClient.h"

namespace kalvoran {
namespace {

using testing::RecordingDialogView;
using testing::TempDir;

// A clock whose pauses move simulated time on by a chosen amount.
class SteppingClock : public Clock {
public:
    std::time_t Now() override { return now; }
    void Sleep(int milliseconds) override {
        slept += milliseconds;
        now += secondsPerSleep;
    }
    std::time_t now = 5000;
    std::time_t secondsPerSleep = 0;
    long slept = 0;
};

class AgentAddressTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.InitDialog(CommandLine{});
        view.statusLog.clear();
    }

    TempDir dir;
    RecordingDialogView view;
    SteppingClock clock;
    TftpClient client{view, clock, dir.File("KalvoranTFTPclient.INI")};
};

TEST_F(AgentAddressTest, ResolvesTheWindowsAddressToPort69) {
    view.addressFields = {127, 0, 3, 40};
    view.selection = BOOTLOADER_UPGRADE;
    client.failureFlag = true;
    client.ResolveAgentAddress();
    EXPECT_TRUE(client.agentAddressValid);
    EXPECT_FALSE(client.failureFlag);
    EXPECT_EQ(client.transferType, BOOTLOADER_UPGRADE);
    EXPECT_STREQ(client.Channel().agentText.data(), "127.0.3.40");
    EXPECT_EQ(client.Channel().serverAddress.port, 69);
    EXPECT_EQ(net::FromStorageOrder(client.Channel().serverAddress.address),
              (net::Octets{127, 0, 3, 40}));

    view.selection = -1;  // no selection reads as the first type
    client.ResolveAgentAddress();
    EXPECT_EQ(client.transferType, APPLICATION_UPGRADE);
}

TEST_F(AgentAddressTest, AllZeroAddressIsRefusedWithCode3_butTheWindowStaysOpen) {
    view.addressFields = {0, 0, 0, 0};
    EXPECT_FALSE(client.OpenAgentSocket());
    EXPECT_EQ(view.errorBoxes, (std::vector<std::string>{"Not a valid IP address"}));
    EXPECT_FALSE(client.agentAddressValid);
    EXPECT_FALSE(client.socketOpen);
    EXPECT_EQ(client.resultCode, kResultNetworkFailure);
    EXPECT_TRUE(client.failureFlag);
    EXPECT_TRUE(view.exitRequests.empty());
}

TEST(AgentAddressCommandLine, InvalidAddressEndsTheRunWithCode3AndItsReasonOnTheFailureStream) {
    TempDir dir;
    RecordingDialogView view;
    SteppingClock clock;
    std::FILE* log = std::tmpfile();
    std::FILE* failures = std::tmpfile();
    ASSERT_TRUE(log != nullptr && failures != nullptr);
    TftpClient client{view, clock, dir.File("KalvoranTFTPclient.INI"), {log, failures}};
    const char* argv[] = {"KalvoranTFTPclient", "image", "app.bin", "10.1.2"};
    ASSERT_TRUE(client.InitDialog(ParseCommandLine(4, argv)));
    EXPECT_FALSE(client.OpenAgentSocket());
    EXPECT_TRUE(view.errorBoxes.empty());
    EXPECT_EQ(view.exitRequests, (std::vector<int>{3}));
    std::rewind(failures);
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, failures), nullptr);
    EXPECT_STREQ(line, "Not a valid IP address\n");
    std::fclose(log);
    std::fclose(failures);
}

TEST_F(AgentAddressTest, TheFirstSessionMakesTheSocketAndLaterOnesReuseIt) {
    view.addressFields = {127, 0, 3, 41};
    ASSERT_TRUE(client.OpenAgentSocket());
    EXPECT_TRUE(client.socketOpen);
    ASSERT_TRUE(client.Channel().udpSocket.IsOpen());
    const auto& endpoint = static_cast<const net::UdpEndpoint&>(client.Channel().udpSocket);
    const int descriptor = endpoint.Descriptor();
    ASSERT_TRUE(client.OpenAgentSocket());
    EXPECT_EQ(endpoint.Descriptor(), descriptor);
    EXPECT_TRUE(view.exitRequests.empty());

    // The close operation closes it; a second close operation finds nothing to close.
    client.OnCancel();
    EXPECT_FALSE(client.Channel().udpSocket.IsOpen());
    client.OnCancel();
    EXPECT_FALSE(client.Channel().udpSocket.IsOpen());
}

TEST_F(AgentAddressTest, PingReportsThreeEchoesOfTheAgent) {
    view.addressFields = {127, 0, 3, 42};
    client.OnPing();
    ASSERT_EQ(view.statusLog.size(), 3u);
    for (const std::string& line : view.statusLog) {
        EXPECT_EQ(line.rfind("Addr: 127.0.3.42, RTT: ", 0), 0u) << line;
        EXPECT_NE(line.find("mS, TTL: "), std::string::npos) << line;
    }
    EXPECT_EQ(clock.slept, 3 * 500);
    EXPECT_EQ(view.pumpCount, 3);
    EXPECT_EQ(client.resultCode, kResultSuccess);  // PING never changes the result code
}

TEST_F(AgentAddressTest, PingWithoutTheModuleAddsThreeLinesAndNothingElse) {
    view.addressFields = {127, 0, 3, 43};
    client.PingService().SetModulePath("/nonexistent/libkalvoran-icmp.so");
    client.OnPing();
    EXPECT_EQ(view.statusLog, (std::vector<std::string>(3, "Unable to locate ICMP.DLL!")));
    EXPECT_TRUE(view.errorBoxes.empty());
}

TEST_F(AgentAddressTest, PingGivesUpWhenAnAttemptTakesTenSeconds) {
    view.addressFields = {127, 0, 3, 44};
    client.PingService().SetModulePath("/nonexistent/libkalvoran-icmp.so");
    clock.secondsPerSleep = 10;
    client.OnPing();
    EXPECT_EQ(view.statusLog, (std::vector<std::string>{"Unable to contact server.",
                                                        "Connection closed", "  ", "  "}));
    EXPECT_TRUE(client.failureFlag);
}

TEST_F(AgentAddressTest, PingStopsAfterTheAttemptInProgressWhenTheDialogCloses) {
    view.addressFields = {127, 0, 3, 45};
    client.PingService().SetModulePath("/nonexistent/libkalvoran-icmp.so");
    view.onPump = [this] { client.Display().RaiseCancel(); };
    client.OnPing();
    EXPECT_EQ(view.statusLog.size(), 1u);
}

TEST_F(AgentAddressTest, PingWithAnAllZeroAddressShowsTheBoxOnceAndAddsNoLine) {
    view.addressFields = {0, 0, 0, 0};
    client.OnPing();
    EXPECT_EQ(view.errorBoxes, (std::vector<std::string>{"Not a valid IP address"}));
    EXPECT_TRUE(view.statusLog.empty());
    EXPECT_TRUE(view.exitRequests.empty());  // PING does not end the program
}

}  // namespace
}  // namespace kalvoran

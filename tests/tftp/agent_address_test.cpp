// The agent address as the window holds it, the one UDP socket, and the PING button.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "support/FakeClock.h"
#include "support/FakeDatagramSocket.h"
#include "support/RecordingDialogView.h"
#include "support/TempDir.h"
#include "tftp/TftpClient.h"

namespace kalvoran {
namespace {

using testing::RecordingDialogView;
using testing::TempDir;

constexpr char kNoModule[] = "/nonexistent/libkalvoran-icmp.so";

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
        client = std::make_unique<TftpClient>(view, clock, dir.File("KalvoranTFTPclient.INI"),
                                              ClientIo{stdout, stderr, nullptr, PingModule()});
        client->InitDialog(CommandLine{});
        view.statusLog.clear();
    }
    // The ICMP module pinged with (nullptr: the program's own).
    virtual const char* PingModule() const { return nullptr; }

    TempDir dir;
    RecordingDialogView view;
    SteppingClock clock;
    std::unique_ptr<TftpClient> client;
};

class PingWithoutModuleTest : public AgentAddressTest {
protected:
    const char* PingModule() const override { return kNoModule; }
};

TEST_F(AgentAddressTest, AllZeroAddressIsRefusedWithCode3_butTheWindowStaysOpen) {
    view.addressFields = {0, 0, 0, 0};
    view.selection = APPLICATION_UPGRADE;
    client->OnDownloadToDevice();
    EXPECT_EQ(view.errorBoxes, (std::vector<std::string>{"Not a valid IP address"}));
    EXPECT_EQ(client->State().resultCode, kResultNetworkFailure);
    EXPECT_TRUE(client->State().failureFlag);
    EXPECT_TRUE(view.exitRequests.empty());
    EXPECT_TRUE(view.statusLog.empty()) << "no completion report for a session never started";
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
    client.OnDownloadToDevice();
    EXPECT_TRUE(view.errorBoxes.empty());
    EXPECT_EQ(view.exitRequests, (std::vector<int>{3}));
    std::rewind(failures);
    char line[64] = {};
    ASSERT_NE(std::fgets(line, sizeof line, failures), nullptr);
    EXPECT_STREQ(line, "Not a valid IP address\n");
    std::fclose(log);
    std::fclose(failures);
}

// Counts how often the sessions open it.
class CountingSocket final : public fakes::FakeDatagramSocket {
public:
    using FakeDatagramSocket::FakeDatagramSocket;
    bool Open() override {
        ++opens;
        return FakeDatagramSocket::Open();
    }
    int opens = 0;
};

TEST(AgentAddressSocket, TheFirstSessionMakesTheSocketAndLaterOnesReuseIt) {
    TempDir dir;
    RecordingDialogView view;
    fakes::FakeClock clock;  // each agent wait gives up after 20 s of simulated time
    CountingSocket socket(clock);
    socket.Close();  // made open; the first session must open it
    TftpClient client{view, clock, dir.File("KalvoranTFTPclient.INI"),
                      ClientIo{stdout, stderr, &socket, kNoModule}};
    client.InitDialog(CommandLine{});
    view.addressFields = {127, 0, 3, 41};
    view.selection = APPLICATION_UPGRADE;
    client.OnDownloadToDevice();
    ASSERT_TRUE(socket.IsOpen());
    EXPECT_EQ(client.State().resultCode, kResultNoPingAnswer);
    client.OnDownloadToDevice();
    EXPECT_TRUE(socket.IsOpen());
    EXPECT_EQ(socket.opens, 1);

    // The close operation closes it; a second close operation finds nothing to close.
    client.OnCancel();
    EXPECT_FALSE(socket.IsOpen());
    client.OnCancel();
    EXPECT_FALSE(socket.IsOpen());
    EXPECT_EQ(socket.opens, 1);
}

TEST_F(AgentAddressTest, PingReportsThreeEchoesOfTheAgentAndTakesTheWindowsType) {
    view.addressFields = {127, 0, 3, 42};
    view.selection = BOOTLOADER_UPGRADE;
    client->OnPing();
    ASSERT_EQ(view.statusLog.size(), 3u);
    for (const std::string& line : view.statusLog) {
        EXPECT_EQ(line.rfind("Addr: 127.0.3.42, RTT: ", 0), 0u) << line;
        EXPECT_NE(line.find("mS, TTL: "), std::string::npos) << line;
    }
    EXPECT_EQ(clock.slept, 3 * 500);
    EXPECT_EQ(view.pumpCount, 3);
    EXPECT_EQ(client->State().resultCode, kResultSuccess);  // PING never changes the result code
    EXPECT_EQ(client->State().transferType, BOOTLOADER_UPGRADE);

    view.selection = -1;  // no selection reads as the first type
    client->OnPing();
    EXPECT_EQ(client->State().transferType, APPLICATION_UPGRADE);
}

TEST_F(PingWithoutModuleTest, PingAddsThreeLinesAndNothingElse) {
    view.addressFields = {127, 0, 3, 43};
    client->OnPing();
    EXPECT_EQ(view.statusLog, (std::vector<std::string>(3, "Unable to locate ICMP.DLL!")));
    EXPECT_TRUE(view.errorBoxes.empty());
}

TEST_F(PingWithoutModuleTest, PingGivesUpWhenAnAttemptTakesTenSeconds) {
    view.addressFields = {127, 0, 3, 44};
    clock.secondsPerSleep = 10;
    client->OnPing();
    EXPECT_EQ(view.statusLog, (std::vector<std::string>{"Unable to contact server.",
                                                        "Connection closed", "  ", "  "}));
    EXPECT_TRUE(client->State().failureFlag);
}

TEST_F(PingWithoutModuleTest, PingStopsAfterTheAttemptInProgressWhenTheDialogCloses) {
    view.addressFields = {127, 0, 3, 45};
    view.onPump = [this] { client->OnCancel(); };
    client->OnPing();
    EXPECT_EQ(view.statusLog, (std::vector<std::string>{"Unable to locate ICMP.DLL!",
                                                        "Connection closed", "  ", "  "}));
}

TEST_F(AgentAddressTest, PingWithAnAllZeroAddressShowsTheBoxOnceAndAddsNoLine) {
    view.addressFields = {0, 0, 0, 0};
    client->OnPing();
    EXPECT_EQ(view.errorBoxes, (std::vector<std::string>{"Not a valid IP address"}));
    EXPECT_TRUE(view.statusLog.empty());
    EXPECT_TRUE(view.exitRequests.empty());  // PING does not end the program
}

}  // namespace
}  // namespace kalvoran

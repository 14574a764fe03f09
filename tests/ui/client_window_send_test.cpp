// An interactive send started from the window against agent-sim on its own loopback address:
// the click runs the send and the status poll, with the controls that could start another
// operation locked meanwhile; and the window closed in the middle of a send.
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <filesystem>

#include "ClientWindowFixture.h"
#include "tools/AgentProcess.h"

namespace kalvoran::testing {
namespace {

constexpr const char* kFinalStatus = "Memory compare Flash/Ram is OK";

class ClientWindowSendTest : public ClientWindowFixture {
protected:
    void SetUp() override {
        ClientWindowFixture::SetUp();
        WriteFileBytes(dir.File("app.bin"), image);
        Find<QComboBox>(QStringLiteral("transferType"))->setCurrentIndex(APPLICATION_UPGRADE);
        Find<QLineEdit>(QStringLiteral("downloadFileName"))
            ->setText(QString::fromStdString(dir.File("app.bin")));
        dialog.show();
    }
    void StartAgent(int last, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--address",      "127.0.11." + std::to_string(last),
                                         "--dir",          dir.File("agent"),
                                         "--status-steps", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(agent.Start(args)) << agent.Output();
        EnterAddress(last);
    }
    void ClickDownload() {
        QTest::mouseClick(Find<QPushButton>(QStringLiteral("downloadToDevice")), Qt::LeftButton);
    }

    const std::string image = Blocks(20000);
    agentsim::testing::AgentProcess agent;
};

TEST_F(ClientWindowSendTest, ClickSendsAndPollsTheStatusWithTheControlsLockedMeanwhile) {
    StartAgent(4);
    QWidget* const locked[] = {Find<QPushButton>(QStringLiteral("downloadToDevice")),
                               Find<QPushButton>(QStringLiteral("uploadFromDevice")),
                               Find<QPushButton>(QStringLiteral("ping")),
                               Find<QComboBox>(QStringLiteral("transferType"))};
    const bool uploadEnabledBefore = locked[1]->isEnabled();
    // Samples taken after the send began and before the final status came.
    int samples = 0;
    int enabledSeen = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const QString log = Log();
        if (log.contains(QStringLiteral("Sending file:")) &&
            !log.contains(QString::fromLatin1(kFinalStatus))) {
            ++samples;
            enabledSeen += static_cast<int>(std::count_if(
                std::begin(locked), std::end(locked), [](QWidget* w) { return w->isEnabled(); }));
        }
    });
    probe.start(20);
    ClickDownload();
    probe.stop();

    EXPECT_TRUE(ReadFileBytes(dir.File("agent/image.bin")) == image);
    const QString log = Log();
    const qsizetype asked = log.indexOf(QStringLiteral("Getting Status (if available): "));
    ASSERT_GE(asked, 0) << log.toStdString();
    EXPECT_GT(log.indexOf(QString::fromLatin1(kFinalStatus)), asked) << log.toStdString();
    EXPECT_GT(samples, 0);
    EXPECT_EQ(enabledSeen, 0);
    // Afterwards the rules of APPLICATION UPGRADE apply again.
    EXPECT_TRUE(locked[0]->isEnabled() && locked[2]->isEnabled() && locked[3]->isEnabled());
    EXPECT_EQ(locked[1]->isEnabled(), uploadEnabledBefore);
    EXPECT_EQ(errorBoxes, std::vector<std::string>{});
}

TEST_F(ClientWindowSendTest, ClosingTheWindowMidSendEndsTheSessionAndSavesTheSettings) {
    StartAgent(5, {"--fault", "delay:10:3000"});  // the send waits for ACK 10
    QTimer::singleShot(500, &dialog, [this] { dialog.close(); });
    ClickDownload();

    EXPECT_TRUE(dialog.ExitRequested().has_value());
    EXPECT_EQ(Log().count(QStringLiteral("Connection closed")), 2) << Log().toStdString();
    EXPECT_TRUE(std::filesystem::exists(dir.File("KalvoranTFTPclient.INI")));
    EXPECT_FALSE(ReadFileBytes(dir.File("agent/image.bin")) == image);
}

// After the data the session waits for a late datagram, then the status poll asks the agent up
// to 20 times: a close in either ends the whole operation at once, not after the poll.
struct CloseMoment {
    const char* logLine;  // the close comes as soon as the log shows it
    int agent;            // 127.0.11.agent
};

void PrintTo(const CloseMoment& moment, std::ostream* out) {
    *out << moment.logLine;
}

class ClientWindowCloseTest : public ClientWindowSendTest,
                              public ::testing::WithParamInterface<CloseMoment> {};

TEST_P(ClientWindowCloseTest, ClosingTheWindowAfterTheDataEndsTheOperationAtOnce) {
    StartAgent(GetParam().agent, {"--status-steps", "100"});  // never final within 20 asks
    QElapsedTimer sinceClose;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!sinceClose.isValid() && Log().contains(QString::fromLatin1(GetParam().logLine))) {
            sinceClose.start();
            dialog.close();
        }
    });
    watch.start(10);
    ClickDownload();
    watch.stop();
    ASSERT_TRUE(sinceClose.isValid()) << Log().toStdString();
    EXPECT_LT(sinceClose.elapsed(), 1500) << Log().toStdString();
    EXPECT_TRUE(dialog.ExitRequested().has_value());
    EXPECT_TRUE(ReadFileBytes(dir.File("agent/image.bin")) == image);
}

INSTANTIATE_TEST_SUITE_P(Moments, ClientWindowCloseTest,
                         ::testing::Values(CloseMoment{"Connection closed", 6},
                                           CloseMoment{"Getting Status (if available): ", 7}));

}  // namespace
}  // namespace kalvoran::testing

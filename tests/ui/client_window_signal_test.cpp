// SIGTERM, SIGINT and SIGHUP reach a window the way they reach a desktop program (a closed
// terminal, Ctrl-C where it was started, a session's end): the run ends as the close operation
// does. In the middle of an EEPROM fetch from agent-sim the session is cancelled, the fetch's
// replacement file is removed and the earlier file is left as it was; a window that waits for
// the operator ends at once. The exit code is 2 and the settings are kept.
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <filesystem>

#include "ClientWindowFixture.h"
#include "tools/AgentProcess.h"

namespace kalvoran::testing {
namespace {

struct StopRow {
    int signal;
    int address;  // 127.0.11.address
};

void PrintTo(const StopRow& row, std::ostream* out) {
    *out << sigabbrev_np(row.signal);
}

class ClientWindowSignalTest : public ClientWindowFixture,
                               public ::testing::WithParamInterface<StopRow> {
protected:
    void SetUp() override {
        ClientWindowFixture::SetUp();
        dialog.WatchStopSignals(stopSignals);
        dialog.show();
        std::filesystem::create_directories(dir.File("backup"));
    }

    // Files beside the fetch's target other than the target itself.
    std::vector<std::string> LeftBeside() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.File("backup"))) {
            if (entry.path().filename() != "eeprom.bin") {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    StopSignals stopSignals;
};

TEST_P(ClientWindowSignalTest, SignalMidFetchCancelsItAndKeepsTheEarlierFile) {
    const StopRow row = GetParam();
    const std::string earlier = "the EEPROM image of last week";
    const std::string target = dir.File("backup/eeprom.bin");
    WriteFileBytes(target, earlier);
    Find<QComboBox>(QStringLiteral("transferType"))->setCurrentIndex(READ_EEPROM_FILE);
    Find<QLineEdit>(QStringLiteral("uploadFileName"))->setText(QString::fromStdString(target));
    agentsim::testing::AgentProcess agent;
    // DATA block 20 comes 3 s late: the signal finds the replacement file half written.
    ASSERT_TRUE(agent.Start({"--address", "127.0.11." + std::to_string(row.address), "--dir",
                             dir.File("agent"), "--fault", "delay:20:3000"}))
        << agent.Output();
    EnterAddress(row.address);

    bool replacementSeen = false;
    QTimer::singleShot(600, &dialog, [&] {
        replacementSeen = !LeftBeside().empty();
        ::raise(row.signal);
    });
    dialog.Core().OnUploadFromDevice();

    EXPECT_TRUE(replacementSeen);
    EXPECT_EQ(dialog.ExitRequested(), std::optional<int>(2));
    EXPECT_EQ(LeftBeside(), std::vector<std::string>{});
    EXPECT_TRUE(ReadFileBytes(target) == earlier);
    EXPECT_TRUE(Log().contains(QStringLiteral("Connection closed"))) << Log().toStdString();
    EXPECT_EQ(errorBoxes, std::vector<std::string>{});
    // The operator's choices survive as they would a click on the close box.
    EXPECT_NE(ReadFileBytes(dir.File("KalvoranTFTPclient.INI"))
                  .find("ip3=" + std::to_string(row.address)),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(StopSignals, ClientWindowSignalTest,
                         ::testing::Values(StopRow{SIGTERM, 30}, StopRow{SIGINT, 31},
                                           StopRow{SIGHUP, 32}));

// No session runs: the window sleeps in its event loop and wakes for the signal.
TEST_F(ClientWindowFixture, SignalWhileTheWindowWaitsForTheOperatorEndsIt) {
    StopSignals stopSignals;
    dialog.WatchStopSignals(stopSignals);
    dialog.show();
    QEventLoop loop;
    QTimer::singleShot(100, &dialog, [] { ::raise(SIGTERM); });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);  // a guard: the signal must end it first
    QElapsedTimer elapsed;
    elapsed.start();
    loop.exec();

    EXPECT_EQ(dialog.ExitRequested(), std::optional<int>(2));
    EXPECT_LT(elapsed.elapsed(), 2000);
    EXPECT_TRUE(std::filesystem::exists(dir.File("KalvoranTFTPclient.INI")));
}

}  // namespace
}  // namespace kalvoran::testing

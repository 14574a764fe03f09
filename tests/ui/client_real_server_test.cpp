// The window's two interactive reads against a real TFTP server (tftpd-hpa) on its own loopback
// address: the EEPROM fetch into a local file, and the status read into the status log.
#include <QComboBox>

#include <filesystem>

#include "ClientWindowFixture.h"
#include "support/TftpdProcess.h"
#include "tftp/AgentLink.h"
#include "tftp/ViewObserver.h"

namespace kalvoran::testing {
namespace {

constexpr const char* kFinalStatus = "Memory compare Flash/Ram is OK";

class ClientRealServerTest : public ClientWindowFixture {
protected:
    void SetUp() override {
        if (!TftpdProcess::Available()) {
            GTEST_SKIP() << "tftpd-hpa is not installed";
        }
        ClientWindowFixture::SetUp();
        std::filesystem::create_directories(dir.Path() / "server");
        WriteFileBytes(dir.File("server/eeprom.bin"), eeprom);
        WriteFileBytes(dir.File("server/status.bin"), kFinalStatus);
    }
    void StartServer(int last) {
        ASSERT_TRUE(server.Start("127.0.11." + std::to_string(last), dir.File("server")))
            << server.Output();
        EnterAddress(last);
    }

    // As large as an EEPROM image may be: 64 full blocks and an empty last one.
    const std::string eeprom = Blocks(32768);
    TftpdProcess server;
};

TEST_F(ClientRealServerTest, EepromFetchCopiesTheServersImage) {
    StartServer(2);
    Find<QComboBox>(QStringLiteral("transferType"))->setCurrentIndex(READ_EEPROM_FILE);
    const std::string copy = dir.File("eeprom-copy.bin");
    Find<QLineEdit>(QStringLiteral("uploadFileName"))->setText(QString::fromStdString(copy));
    dialog.Core().OnUploadFromDevice();
    EXPECT_TRUE(ReadFileBytes(copy) == eeprom);
    EXPECT_TRUE(Log().endsWith(QStringLiteral("Transfer complete.\n"))) << Log().toStdString();
    EXPECT_EQ(errorBoxes, std::vector<std::string>{});
}

TEST_F(ClientRealServerTest, StatusReadStopsAtTheServersFinalStatus) {
    StartServer(3);
    // The window's own engine, run as its status poll runs after a send.
    ViewObserver observer(dialog);
    ConsoleReport console(nullptr, nullptr);
    StatusDisplay display(observer, console);
    SystemClock clock;
    AgentLink link(display, clock);
    const ChainOutcome polled =
        link.PollStatus(dialog.Core().CurrentTransfer(StartButton::DownloadToDevice));
    EXPECT_EQ(polled.Verdict(), StatusVerdict::Ok);
    EXPECT_EQ(polled.end, ChainEnd::Success);
    const QString log = Log();
    const qsizetype asked = log.indexOf(QStringLiteral("Getting Status (if available): "));
    ASSERT_GE(asked, 0) << log.toStdString();
    EXPECT_GT(log.indexOf(QString::fromLatin1(kFinalStatus)), asked);
    EXPECT_EQ(log.count(QString::fromLatin1(kFinalStatus)), 1) << log.toStdString();
}

}  // namespace
}  // namespace kalvoran::testing

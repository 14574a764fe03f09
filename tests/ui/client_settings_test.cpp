// The operator's settings across runs of the window: what the first run leaves in its INI file
// when it is closed is what the next run shows, and a command-line run changes nothing.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "ui/TftpClientDlg.h"

namespace kalvoran {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

class ClientSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CTftpClientDlg::SetErrorBoxRecorder(
            [this](const QString& text) { boxes.push_back(text.toStdString()); });
    }
    void TearDown() override { CTftpClientDlg::SetErrorBoxRecorder(nullptr); }

    // One run of the window: started with this command line (none: interactive).
    std::unique_ptr<CTftpClientDlg> Run(const CommandLine& line = {}) {
        auto dialog = std::make_unique<CTftpClientDlg>(profile);
        dialog->Initialise(line);
        return dialog;
    }
    template <typename Widget>
    static Widget* Find(CTftpClientDlg& dialog, const char* name) {
        return dialog.findChild<Widget*>(QString::fromLatin1(name));
    }
    static QString Address(CTftpClientDlg& dialog) {
        QStringList fields;
        for (int i = 0; i < 4; ++i) {
            fields << Find<QLineEdit>(dialog, ("agentAddress" + std::to_string(i)).c_str())->text();
        }
        return fields.join(QLatin1Char('.'));
    }

    TempDir dir;
    std::string profile = dir.File("KalvoranTFTPclient.INI");
    std::vector<std::string> boxes;
};

TEST_F(ClientSettingsTest, WhatTheCloseButtonSavesIsWhatTheNextRunShows) {
    {
        auto first = Run();
        Find<QComboBox>(*first, "transferType")->setCurrentIndex(READ_EEPROM_FILE);
        Find<QLineEdit>(*first, "downloadFileName")->setText(QStringLiteral("/fw/app.bin"));
        Find<QLineEdit>(*first, "uploadFileName")->setText(QStringLiteral("/dumps/eeprom.bin"));
        const char* address[] = {"127", "0", "12", "8"};
        for (int i = 0; i < 4; ++i) {
            Find<QLineEdit>(*first, ("agentAddress" + std::to_string(i)).c_str())
                ->setText(QString::fromLatin1(address[i]));
        }
        // The address is taken from the window when a ping or a transfer starts.
        first->Core().OnPing();
        Find<QPushButton>(*first, "close")->click();
        ASSERT_TRUE(first->ExitRequested().has_value());
    }
    const std::string saved = ReadFileBytes(profile);
    auto second = Run();
    EXPECT_EQ(Find<QComboBox>(*second, "transferType")->currentIndex(), READ_EEPROM_FILE);
    EXPECT_EQ(Find<QLineEdit>(*second, "downloadFileName")->text(), QStringLiteral("/fw/app.bin"));
    EXPECT_EQ(Find<QLineEdit>(*second, "uploadFileName")->text(),
              QStringLiteral("/dumps/eeprom.bin"));
    EXPECT_EQ(Address(*second), QStringLiteral("127.0.12.8"));

    // A command-line run shows its own file and address but leaves the saved ones alone.
    const char* argv[] = {"KalvoranTFTPclient", "image", "/other/new.bin", "127.0.12.9"};
    auto unattended = Run(ParseCommandLine(4, argv));
    EXPECT_EQ(Find<QLineEdit>(*unattended, "downloadFileName")->text(),
              QStringLiteral("/other/new.bin"));
    Find<QPushButton>(*unattended, "close")->click();
    ASSERT_TRUE(unattended->ExitRequested().has_value());
    EXPECT_EQ(ReadFileBytes(profile), saved);
}

// The profile's options go with every transfer the window starts, of either side and of a
// command-line run alike; a value out of range is one box at start-up (none in a command-line
// run, whose line goes to standard error), and closing the window leaves the keys as they were.
TEST_F(ClientSettingsTest, TheProfilesOptionsGoWithEveryTransferAndAreNeverRewritten) {
    const std::string options = "blksize=1468\nwindowsize=abc\n";
    WriteFileBytes(profile, "[Settings]\n" + options + "type=0\n");
    const tftp::AskedOptions asked{1468, 0};
    {
        auto window = Run();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0],
                  "Profile value out of range: windowsize=abc (1 to 64); the plain protocol is "
                  "used for it.");
        for (StartButton side : {StartButton::DownloadToDevice, StartButton::UploadFromDevice}) {
            EXPECT_EQ(window->Core().CurrentTransfer(side).options.asked, asked);
        }
        Find<QPushButton>(*window, "close")->click();
        ASSERT_TRUE(window->ExitRequested().has_value());
    }
    EXPECT_NE(ReadFileBytes(profile).find(options), std::string::npos) << ReadFileBytes(profile);

    boxes.clear();
    const char* argv[] = {"KalvoranTFTPclient", "image", "/fw/app.bin", "127.0.28.2"};
    auto unattended = Run(ParseCommandLine(4, argv));
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(unattended->Core().CurrentTransfer(StartButton::DownloadToDevice).options.asked,
              asked);
}

}  // namespace
}  // namespace kalvoran

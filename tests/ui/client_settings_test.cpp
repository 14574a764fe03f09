// The operator's settings across runs of the window: what the first run leaves in its INI file
// when it is closed is what the next run shows, and a command-line run changes nothing.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <memory>
#include <string>

#include "support/TempDir.h"
#include "ui/TftpClientDlg.h"

namespace kalvoran {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;

class ClientSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CTftpClientDlg::SetErrorBoxRecorder([](const QString&) {});
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

}  // namespace
}  // namespace kalvoran

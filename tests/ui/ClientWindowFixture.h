// A client window built off screen for one test: its profile in a temporary directory, its error
// boxes recorded instead of shown, its widgets found by object name.
#pragma once

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPlainTextEdit>

#include <string>
#include <vector>

#include "support/TempDir.h"
#include "ui/TftpClientDlg.h"

namespace kalvoran::testing {

class ClientWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        CTftpClientDlg::SetErrorBoxRecorder(
            [this](const QString& text) { errorBoxes.push_back(text.toStdString()); });
        ASSERT_TRUE(dialog.Initialise(CommandLine{}));
    }
    void TearDown() override { CTftpClientDlg::SetErrorBoxRecorder(nullptr); }

    template <typename Widget>
    Widget* Find(const QString& name) {
        auto* widget = dialog.findChild<Widget*>(name);
        EXPECT_NE(widget, nullptr) << name.toStdString();
        return widget;
    }
    QString Log() { return Find<QPlainTextEdit>(QStringLiteral("statusLog"))->toPlainText(); }

    // Types 127.0.11.last into the four address fields.
    void EnterAddress(int last) {
        const int octets[4] = {127, 0, 11, last};
        for (int i = 0; i < 4; ++i) {
            Find<QLineEdit>(QStringLiteral("agentAddress%1").arg(i))
                ->setText(QString::number(octets[i]));
        }
    }

    // size bytes whose 512-byte blocks all differ, so a lost or repeated block shows.
    static std::string Blocks(std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) {
            bytes[i] = static_cast<char>(i * 31 + i / 512);
        }
        return bytes;
    }

    TempDir dir;
    std::vector<std::string> errorBoxes;
    CTftpClientDlg dialog{dir.File("KalvoranTFTPclient.INI")};
};

}  // namespace kalvoran::testing

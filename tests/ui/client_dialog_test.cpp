#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QThread>

#include <sys/wait.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ProgramPath.h"
#include "support/TempDir.h"
#include "tftp/Settings.h"
#include "ui/TftpClientDlg.h"

namespace kalvoran {
namespace {

using testing::TempDir;

class ClientDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        CTftpClientDlg::SetErrorBoxRecorder(
            [this](const QString& text) { errorBoxes.push_back(text.toStdString()); });
    }
    void TearDown() override { CTftpClientDlg::SetErrorBoxRecorder(nullptr); }

    void WriteProfile(const std::string& text) { std::ofstream(profilePath) << text; }

    template <typename Widget>
    Widget* Find(const char* name) {
        auto* widget = dialog.findChild<Widget*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }

    std::vector<std::string> LogLines() {
        const QString text = Find<QPlainTextEdit>("statusLog")->toPlainText();
        std::vector<std::string> lines;
        for (const QString& line : text.split(QLatin1Char('\n'))) {
            lines.push_back(line.toStdString());
        }
        if (!lines.empty() && lines.back().empty()) {
            lines.pop_back();  // after the last line end
        }
        return lines;
    }

    TempDir dir;
    std::string profilePath = dir.File("KalvoranTFTPclient.INI");
    std::vector<std::string> errorBoxes;
    CTftpClientDlg dialog{profilePath};
};

TEST_F(ClientDialogTest, StartUpFillsTheWindowFromTheProfile) {
    WriteProfile("[Settings]\ntype=5\nip0=127\nip1=0\nip2=7\nip3=1\nuploadpath=/d/e.bin\n");
    ASSERT_TRUE(dialog.Initialise(CommandLine{}));

    auto* types = Find<QComboBox>("transferType");
    ASSERT_EQ(types->count(), 7);
    EXPECT_EQ(types->itemText(6).toStdString(), "BOOTLOADER UPGRADE");
    EXPECT_EQ(types->currentIndex(), READ_EEPROM_FILE);
    EXPECT_EQ(Find<QLineEdit>("downloadFileName")->text().toStdString(), "\\no file selected\\");
    EXPECT_EQ(Find<QLineEdit>("uploadFileName")->text().toStdString(), "/d/e.bin");
    EXPECT_EQ(Find<QLineEdit>("agentAddress2")->text().toStdString(), "7");
    EXPECT_EQ(dialog.AddressFields(), (net::Octets{127, 0, 7, 1}));

    EXPECT_FALSE(Find<QPushButton>("downloadToDevice")->isEnabled());
    EXPECT_FALSE(Find<QLineEdit>("downloadFileName")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>("uploadFromDevice")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>("browseUpload")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>("ping")->isEnabled());

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0], std::string(24, ' ') + "TFTP TRANSFER INSTRUCTIONS");
    EXPECT_EQ(lines[16], "*** THE AGENT MAY BECOME UNSTABLE.");
}

TEST_F(ClientDialogTest, ChoosingATypeAppliesItsControlsAndEmptiesTheByteCount) {
    ASSERT_TRUE(dialog.Initialise(CommandLine{}));
    dialog.SetStatField(StatField::BytesSentRecvd, "512");
    dialog.SetStatField(StatField::Crc32, "DEADBEEF");
    Find<QComboBox>("transferType")->setCurrentIndex(CREATE_CONFIG_FILE);

    EXPECT_TRUE(Find<QLineEdit>("bytesSentRecvd")->text().isEmpty());
    EXPECT_EQ(Find<QLineEdit>("crc32")->text().toStdString(), "DEADBEEF");
    EXPECT_FALSE(Find<QPushButton>("downloadToDevice")->isEnabled());
    EXPECT_TRUE(Find<QLineEdit>("downloadFileName")->isEnabled());
    EXPECT_TRUE(Find<QPushButton>("uploadFromDevice")->isEnabled());
    EXPECT_EQ(dialog.Core().State().transferType, CREATE_CONFIG_FILE);
}

TEST_F(ClientDialogTest, NewLinesGoAtTheEndWhateverTheOperatorClickedOrSelected) {
    ASSERT_TRUE(dialog.Initialise(CommandLine{}));
    auto* log = Find<QPlainTextEdit>("statusLog");
    // The operator selects the first instruction line, as if to copy it.
    QTextCursor selection(log->document());
    selection.movePosition(QTextCursor::Start);
    selection.movePosition(QTextCursor::EndOfLine, QTextCursor::KeepAnchor);
    log->setTextCursor(selection);
    const QString selected = log->textCursor().selectedText();
    dialog.AppendStatusLine("first");
    dialog.AppendStatusLine("second");

    const std::vector<std::string> lines = LogLines();
    ASSERT_EQ(lines.size(), 20u);
    EXPECT_EQ(lines[0], std::string(24, ' ') + "TFTP TRANSFER INSTRUCTIONS");
    EXPECT_EQ(lines[18], "first");
    EXPECT_EQ(lines[19], "second");
    EXPECT_EQ(log->textCursor().selectedText(), selected);
    EXPECT_EQ(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
    EXPECT_GT(log->verticalScrollBar()->maximum(), 0);
}

TEST_F(ClientDialogTest, EnterClosesNothingWhereverTheFocusIs) {
    ASSERT_TRUE(dialog.Initialise(CommandLine{}));
    dialog.show();
    for (const char* name : {"downloadFileName", "close", "help", "agentAddress0"}) {
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            QTest::keyClick(Find<QWidget>(name), key);
        }
    }
    QTest::keyClick(&dialog, Qt::Key_Return);
    EXPECT_FALSE(dialog.ExitRequested().has_value());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(LogLines().size(), 18u);  // no "Connection closed"
    EXPECT_FALSE(std::filesystem::exists(profilePath));
}

TEST_F(ClientDialogTest, AnEmptyProgressRangeShowsAnEmptyBarNotABusyOne) {
    ASSERT_TRUE(dialog.Initialise(CommandLine{}));
    auto* bar = Find<QProgressBar>("progressBar");
    dialog.Core().Display().BeginBlocks(0);
    dialog.Core().Display().BlockDone();
    QThread::msleep(25);
    dialog.PumpMessages();
    EXPECT_GT(bar->maximum(), bar->minimum());  // equal bounds animate as "busy"
    EXPECT_EQ(bar->value(), 0);
}

// The six file controls for each saved type at start-up, in the order download field, Browse...,
// DOWNLOAD TO DEVICE, upload field, Browse, UPLOAD FROM DEVICE.
struct EnablingCase {
    int savedType;
    std::array<bool, 6> enabled;
    int selected;
};

TEST_F(ClientDialogTest, EachSavedTypeEnablesItsFileControls) {
    constexpr bool y = true;
    constexpr bool n = false;
    const EnablingCase cases[] = {
        {APPLICATION_UPGRADE, {y, y, y, n, n, n}, 0},
        {CONFIGURATION_UPGRADE, {y, y, y, n, n, n}, 1},
        {SEND_COMMAND_FILE, {y, y, y, n, n, n}, 2},
        {SEND_FILE_TO_FILE_SYSTEM, {y, y, y, n, n, n}, 3},
        {CREATE_CONFIG_FILE, {y, y, n, y, y, y}, 4},
        {READ_EEPROM_FILE, {n, n, n, y, y, y}, 5},
        {BOOTLOADER_UPGRADE, {y, y, y, n, n, n}, 6},
        {9, {y, y, y, y, y, y}, 0},  // outside 0..6: all enabled, the first type selected
    };
    for (const EnablingCase& c : cases) {
        CTftpClientDlg window(profilePath);
        WriteProfile("[Settings]\ntype=" + std::to_string(c.savedType) + "\n");
        ASSERT_TRUE(window.Initialise(CommandLine{}));
        const char* names[] = {"downloadFileName", "browseDownload", "downloadToDevice",
                               "uploadFileName",   "browseUpload",   "uploadFromDevice"};
        for (std::size_t i = 0; i < 6; ++i) {
            EXPECT_EQ(window.findChild<QWidget*>(QString::fromLatin1(names[i]))->isEnabled(),
                      c.enabled[i])
                << "type " << c.savedType << ", " << names[i];
        }
        EXPECT_EQ(window.findChild<QComboBox*>("transferType")->currentIndex(), c.selected);
        EXPECT_EQ(window.Core().State().transferType, c.selected) << "type " << c.savedType;
    }
}

TEST_F(ClientDialogTest, ProgressStepsWrapPastTheMaximum) {
    ASSERT_TRUE(dialog.Initialise(CommandLine{}));
    auto* bar = Find<QProgressBar>("progressBar");
    dialog.Core().Display().BeginBlocks(2);
    dialog.Core().Display().BlockDone();
    dialog.Core().Display().BlockDone();
    // A transfer steps the bar once per block; the window shows it when it next refreshes.
    const auto Refreshed = [&] {
        QThread::msleep(25);
        dialog.PumpMessages();
        return bar->value();
    };
    EXPECT_EQ(Refreshed(), 2);
    dialog.Core().Display().BlockDone();
    EXPECT_EQ(Refreshed(), 0);
}

TEST_F(ClientDialogTest, EscapeRunsTheCloseOperationAndSavesTheSettings) {
    ASSERT_TRUE(dialog.Initialise(CommandLine{}));
    dialog.show();
    Find<QComboBox>("transferType")->setCurrentIndex(SEND_COMMAND_FILE);
    Find<QLineEdit>("downloadFileName")->setText(QStringLiteral("/fw/run.cmd"));
    QTest::keyClick(&dialog, Qt::Key_Escape);

    ASSERT_TRUE(dialog.ExitRequested().has_value());
    EXPECT_EQ(*dialog.ExitRequested(), 0);
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Connection closed", "  ", "  "}));
    const Settings saved = LoadSettings(IniProfile(profilePath));
    EXPECT_EQ(saved.transferType, SEND_COMMAND_FILE);
    EXPECT_EQ(saved.downloadPath, "/fw/run.cmd");
    EXPECT_TRUE(dialog.Core().Display().CancelRequested());
}

// The program itself: a wrong argument count must never look like a successful upgrade.
TEST(ClientProgram, WrongArgumentCountExitsWith2AndPrintsTheUsageWithoutADisplay) {
    const std::string binDir = testing::BinDir().string();
    TempDir dir;
    const std::string err = dir.File("stderr.txt");
    for (const char* arguments : {"image", "image app.bin", "image app.bin 127.0.0.1 silent x"}) {
        const std::string command =
            "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "
            "XDG_CONFIG_HOME=" +
            dir.Path().string() + " timeout 20 " + binDir + "/KalvoranTFTPclient " + arguments +
            " 2>" + err;
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << arguments;
        EXPECT_EQ(WEXITSTATUS(status), 2) << arguments;
        std::ifstream in(err);
        std::string first;
        std::getline(in, first);
        EXPECT_EQ(first, "Wrong number of arguments!") << arguments;
    }
}

// An interactive start whose display is named but does not answer (no X server at that number,
// no compositor behind that socket) is refused locally like one with no display at all: exit
// code 2 and one line on standard error, instead of an abort inside the toolkit.
TEST(ClientProgram, InteractiveStartOnADisplayThatCannotBeOpenedExitsWith2AndSaysWhy) {
    const std::string binDir = testing::BinDir().string();
    TempDir dir;
    const std::string err = dir.File("stderr.txt");
    for (const char* display : {"DISPLAY=:4711 WAYLAND_DISPLAY=", "DISPLAY= WAYLAND_DISPLAY=gone-0",
                                "DISPLAY=:4711 WAYLAND_DISPLAY=gone-0"}) {
        const std::string command = "env -u QT_QPA_PLATFORM " + std::string(display) +
                                    " XDG_RUNTIME_DIR=" + dir.Path().string() +
                                    " XDG_CONFIG_HOME=" + dir.Path().string() + " timeout 20 " +
                                    binDir + "/KalvoranTFTPclient 2>" + err;
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << display;
        EXPECT_EQ(WEXITSTATUS(status), 2) << display;
        std::ifstream in(err);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        ASSERT_EQ(lines.size(), 1u) << display;
        EXPECT_NE(lines[0].find("display cannot be opened"), std::string::npos) << lines[0];
    }
}

// The toolkit takes no options from the program's command line: -platform and
// -platformpluginpath there would let any caller pick the code a capable process loads. Every
// run ends with exit code 2 and our own reason instead of the toolkit's abort for the missing
// platform plugin named. The dynamic loader's record (LD_DEBUG=files) tells whether the toolkit
// started: a command-line run on "Offscreen" (the toolkit matches platform names case-blind, the
// display probe does not, so the window path is taken) loads the toolkit's off-screen platform,
// which proves the toolkit was started and never saw the options; a usage error on the
// off-screen platform, where nobody could see a box, starts no toolkit and tells the usage on
// standard error.
TEST(ClientProgram, ToolkitOptionsOnTheCommandLineNeverReachTheToolkit) {
    const std::string binDir = testing::BinDir().string();
    TempDir dir;
    const std::string err = dir.File("stderr.txt");
    struct Row {
        const char* platform;
        std::string arguments;
        const char* firstLine;  // how standard error begins
        bool toolkitStarted;
    };
    const Row rows[] = {
        {"Offscreen", "-platform nonexistent-platform 127.0.23.9", "File type \"-platform\"", true},
        {"Offscreen", "-platformpluginpath " + dir.Path().string() + " -platform nonexistent",
         "File type \"-platformpluginpath\"", true},
        {"offscreen", "-platform nonexistent-platform", "Wrong number of arguments!", false},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const Row& row = rows[i];
        SCOPED_TRACE(row.arguments);
        const std::string trace = "loaded-" + std::to_string(i);
        const std::string command =
            "env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=" + std::string(row.platform) +
            " XDG_RUNTIME_DIR=" + dir.Path().string() + " XDG_CONFIG_HOME=" + dir.Path().string() +
            " LD_DEBUG=files LD_DEBUG_OUTPUT=" + dir.File(trace) + " timeout 20 " + binDir +
            "/KalvoranTFTPclient " + row.arguments + " 2>" + err;
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 2);
        std::ifstream in(err);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines[0].starts_with(row.firstLine)) << lines[0];
        for (const std::string& line : lines) {
            EXPECT_EQ(line.find("platform plugin"), std::string::npos) << line;
        }

        std::string loaded;
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
            if (entry.path().filename().string().starts_with(trace + ".")) {
                loaded += testing::ReadFileBytes(entry.path().string());
            }
        }
        EXPECT_EQ(loaded.find("platforms/libqoffscreen.so") != std::string::npos,
                  row.toolkitStarted);
        EXPECT_EQ(loaded.find(dir.Path().string()), std::string::npos)
            << "nothing is loaded from the directory the command line named";
    }
}

}  // namespace
}  // namespace kalvoran

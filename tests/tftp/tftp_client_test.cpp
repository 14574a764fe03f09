#include "tftp/TftpClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ArgumentVector.h"
#include "support/FakeClock.h"
#include "support/FakeDatagramSocket.h"
#include "support/RecordingDialogView.h"
#include "support/TempDir.h"
#include "tftp/Settings.h"

namespace kalvoran {
namespace {

using testing::RecordingDialogView;
using testing::TempDir;

class TftpClientTest : public ::testing::Test {
protected:
    void WriteProfile(const std::string& text) { std::ofstream(profilePath) << text; }

    static CommandLine Line(const std::vector<std::string>& arguments) {
        return testing::ParseArguments(ParseCommandLine, arguments, "KalvoranTFTPclient");
    }

    // The window selects what the core asks for; the core reads it back at the end of start-up.
    TempDir dir;
    std::string profilePath = dir.File("KalvoranTFTPclient.INI");
    RecordingDialogView view;
    fakes::FakeClock clock;
    // No ICMP module: an agent wait gives up after 20 s of simulated time.
    static constexpr char kNoModule[] = "/nonexistent/libkalvoran-icmp.so";
    fakes::FakeDatagramSocket socket{clock};
    TftpClient client{view, clock, profilePath, ClientIo{stdout, stderr, &socket, kNoModule}};
};

TEST_F(TftpClientTest, InteractiveStartShowsTheSavedSettingsAndTheInstructions) {
    WriteProfile("[Settings]\ntype=5\nip0=10\nip1=0\nip2=3\nip3=9\npath=/fw/app.bin\n");
    EXPECT_FALSE(client.InitDialog(Line({})));

    EXPECT_FALSE(client.State().commandLine);
    EXPECT_EQ(view.typeList.size(), 7u);
    EXPECT_EQ(view.typeList, (std::vector<std::string>{
                                 "APPLICATION UPGRADE", "CONFIGURATION UPGRADE",
                                 "SEND COMMAND FILE", "SEND FILE TO FILE SYSTEM",
                                 "CREATE CONFIG FILE", "READ EEPROM FILE", "BOOTLOADER UPGRADE"}));
    EXPECT_EQ(view.selection, READ_EEPROM_FILE);
    EXPECT_EQ(client.State().transferType, READ_EEPROM_FILE);
    EXPECT_EQ(view.downloadField, "/fw/app.bin");
    EXPECT_EQ(view.uploadField, "\\no file selected\\");
    EXPECT_EQ(view.addressFields, (net::Octets{10, 0, 3, 9}));
    EXPECT_FALSE(view.localHostName.empty());
    EXPECT_FALSE(view.localAddress.empty());
    EXPECT_TRUE(view.errorBoxes.empty());
    EXPECT_FALSE(view.minimized);

    // The log holds exactly the instructions.
    ASSERT_EQ(view.statusLog.size(), 18u);
    EXPECT_EQ(view.statusLog[0], std::string(24, ' ') + "TFTP TRANSFER INSTRUCTIONS");
    EXPECT_EQ(view.statusLog[14], "*** DO NOT INTERRUPT THE TRANSFER PROCESS");

    // READ EEPROM FILE: only the upload side is usable; PING and the address stay enabled.
    EXPECT_FALSE(view.enabled[DialogControl::DownloadFileName]);
    EXPECT_FALSE(view.enabled[DialogControl::DownloadToDevice]);
    EXPECT_TRUE(view.enabled[DialogControl::UploadFileName]);
    EXPECT_TRUE(view.enabled[DialogControl::UploadFromDevice]);
    EXPECT_TRUE(view.enabled[DialogControl::Ping]);
    EXPECT_TRUE(view.enabled[DialogControl::AgentAddress]);
}

TEST_F(TftpClientTest, SavedTypeOutsideTheListSelectsTheFirstEntryWithEveryFileControlEnabled) {
    WriteProfile("[Settings]\ntype=9\n");
    client.InitDialog(Line({}));
    EXPECT_EQ(view.selection, APPLICATION_UPGRADE);
    EXPECT_EQ(client.State().transferType, APPLICATION_UPGRADE);
    for (DialogControl control : {DialogControl::DownloadFileName, DialogControl::BrowseDownload,
                                  DialogControl::DownloadToDevice, DialogControl::UploadFileName,
                                  DialogControl::BrowseUpload, DialogControl::UploadFromDevice}) {
        EXPECT_TRUE(view.enabled[control]);
    }
    // The first change of selection applies the rules.
    view.selection = CONFIGURATION_UPGRADE;
    client.OnTransferTypeChanged();
    EXPECT_FALSE(view.enabled[DialogControl::UploadFromDevice]);
    EXPECT_TRUE(view.enabled[DialogControl::DownloadToDevice]);
}

TEST_F(TftpClientTest, CommandLineRunReplacesTypePathAndAddressAndAsksToStart) {
    WriteProfile(
        "[Settings]\ntype=1\nip0=1\nip1=1\nip2=1\nip3=1\npath=/old.bin\nuploadpath=/u.bin\n");
    EXPECT_TRUE(client.InitDialog(Line({"image", "/fw/app.bin", "127.0.3.20", "silent"})));
    EXPECT_TRUE(client.State().commandLine);
    EXPECT_EQ(client.State().transferType, APPLICATION_UPGRADE);
    EXPECT_EQ(view.downloadField, "/fw/app.bin");
    EXPECT_EQ(view.uploadField, "/u.bin");  // the saved upload path is still shown
    EXPECT_EQ(view.addressFields, (net::Octets{127, 0, 3, 20}));
    EXPECT_TRUE(view.minimized);
}

TEST_F(TftpClientTest, CommandLineWithoutKeywordKeepsTheSavedTypeAndShowsTheWindow) {
    WriteProfile("[Settings]\ntype=5\n");
    EXPECT_TRUE(client.InitDialog(Line({"IMAGE", "/fw/app.bin", "127.0.3.21", "Silent"})));
    EXPECT_EQ(client.State().transferType, READ_EEPROM_FILE);
    EXPECT_FALSE(view.minimized);
}

// Without a keyword a command-line run sends as the saved type; with no valid one saved it sends
// nothing rather than guess (a bootloader image must never go to the application slot).
TEST_F(TftpClientTest, CommandLineWithoutKeywordNeedsAValidSavedType) {
    struct Row {
        const char* label;
        const char* profile;  // nullptr: no profile file; "/": a folder where the file would be
        int sentAs;           // -1: refused
    };
    const Row rows[] = {
        {"no profile", nullptr, -1},
        {"unreadable profile", "/", -1},
        {"no type key", "[Settings]\nip0=127\n", -1},
        {"empty type", "[Settings]\ntype=\n", -1},
        {"type is a word", "[Settings]\ntype=rom\n", -1},
        {"type above the list", "[Settings]\ntype=7\n", -1},
        {"negative type", "[Settings]\ntype=-1\n", -1},
        {"saved bootloader", "[Settings]\ntype=6\n", BOOTLOADER_UPGRADE},
        {"saved application upgrade", "[Settings]\ntype=0\n", APPLICATION_UPGRADE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.label);
        TempDir rowDir;
        const std::string path = rowDir.File("KalvoranTFTPclient.INI");
        if (row.profile != nullptr && std::string_view(row.profile) == "/") {
            std::filesystem::create_directory(path);
        } else if (row.profile != nullptr) {
            std::ofstream(path) << row.profile;
        }
        RecordingDialogView rowView;
        std::FILE* log = std::tmpfile();
        std::FILE* failures = std::tmpfile();
        ASSERT_TRUE(log != nullptr && failures != nullptr);
        TftpClient rowClient{rowView, clock, path, {log, failures}};
        const bool starts = rowClient.InitDialog(Line({"rom", "/fw/rom.bin", "127.0.3.22"}));
        std::rewind(failures);
        char line[512] = {};
        const bool said = std::fgets(line, sizeof line, failures) != nullptr;
        char more[8] = {};
        EXPECT_EQ(std::fgets(more, sizeof more, failures), nullptr) << "one line only";
        ASSERT_TRUE(said);
        if (row.sentAs < 0) {
            EXPECT_FALSE(starts);
            EXPECT_EQ(rowView.exitRequests, std::vector<int>{kResultRefused});
            EXPECT_STREQ(line,
                         "File type \"rom\" names none of image, config, command, filesystem, "
                         "and the profile holds no saved transfer type to send it as instead: "
                         "nothing sent\n");
            EXPECT_EQ(std::ftell(log), 0) << "nothing logged before the refusal";
        } else {
            EXPECT_TRUE(starts);
            EXPECT_TRUE(rowView.exitRequests.empty());
            EXPECT_EQ(rowClient.CurrentTransfer(StartButton::DownloadToDevice).type, row.sentAs);
            EXPECT_NE(std::string(line).find("sending as the saved transfer type"),
                      std::string::npos)
                << line;
        }
        std::fclose(log);
        std::fclose(failures);
    }
}

// The command line's path is the transfer's, byte for byte: no text conversion can turn a name
// that is not UTF-8 into another file's name.
TEST_F(TftpClientTest, CommandLineTransferTakesTheArgumentsAsTheyCame) {
    const std::string path = "/fw/\xff\xfe.bin";
    ASSERT_TRUE(client.InitDialog(Line({"image", path, "127.0.3.23"})));
    view.downloadField = "/fw/\xef\xbf\xbd\xef\xbf\xbd.bin";  // what a converting window shows
    view.addressFields = {10, 9, 8, 7};
    view.selection = BOOTLOADER_UPGRADE;
    for (StartButton side : {StartButton::DownloadToDevice, StartButton::UploadFromDevice}) {
        const Transfer transfer = client.CurrentTransfer(side);
        EXPECT_EQ(transfer.localPath, path);
        EXPECT_EQ(transfer.type, APPLICATION_UPGRADE);
        EXPECT_EQ(transfer.agent, (net::Octets{127, 0, 3, 23}));
    }
}

// Interactively a session takes what the window holds when it starts, from the side whose button
// starts it.
TEST_F(TftpClientTest, WindowTransferIsReadWhenTheSessionStarts) {
    client.InitDialog(Line({}));
    view.selection = CREATE_CONFIG_FILE;
    view.downloadField = "/req/request.cfg";
    view.uploadField = "/out/site.cfg";
    view.addressFields = {127, 0, 3, 24};
    const Transfer send = client.CurrentTransfer(StartButton::DownloadToDevice);
    EXPECT_EQ(send.type, CREATE_CONFIG_FILE);
    EXPECT_EQ(send.localPath, "/req/request.cfg");
    EXPECT_EQ(send.agent, (net::Octets{127, 0, 3, 24}));
    EXPECT_EQ(client.CurrentTransfer(StartButton::UploadFromDevice).localPath, "/out/site.cfg");
    view.uploadField = "/out/other.cfg";  // the operator's last change counts
    EXPECT_EQ(client.CurrentTransfer(StartButton::UploadFromDevice).localPath, "/out/other.cfg");
}

TEST_F(TftpClientTest, UsageErrorShowsTheUsageAndEndsWithCode2SavingOnlyTypeAndAddress) {
    WriteProfile("[Settings]\ntype=3\nip0=7\n");
    EXPECT_FALSE(client.InitDialog(Line({"image", "app.bin"})));
    ASSERT_EQ(view.errorBoxes.size(), 1u);
    EXPECT_EQ(view.errorBoxes[0],
              "Wrong number of arguments!\n"
              "Usage: KalvoranTFTPclient <filetype> <filename> <IP address> <silent>(optional)");
    ASSERT_FALSE(view.exitRequests.empty());
    EXPECT_EQ(view.exitRequests.back(), 2);
    IniProfile profile(profilePath);
    EXPECT_EQ(profile.GetInt("Settings", "type", -1), 3);
    EXPECT_EQ(profile.GetInt("Settings", "ip0", -1), 7);
    EXPECT_EQ(profile.GetInt("Settings", "ip3", -1), 0);
    EXPECT_EQ(profile.GetString("Settings", "path", "absent"), "absent");
}

TEST_F(TftpClientTest, OverLongArgumentIsNamedInTheBoxWithItsLimit) {
    EXPECT_FALSE(client.InitDialog(Line({"image", std::string(256, 'a') + ".bin", "127.0.3.25"})));
    ASSERT_EQ(view.errorBoxes.size(), 1u);
    EXPECT_EQ(view.errorBoxes[0], "The file name argument is too long (at most 255 characters).");
    ASSERT_FALSE(view.exitRequests.empty());
    EXPECT_EQ(view.exitRequests.back(), 2);
}

TEST_F(TftpClientTest, ChangingTheTypeEmptiesTheByteCountButKeepsCrcAndLength) {
    client.InitDialog(Line({}));
    client.Display().ShowByteCount(8000);
    client.Display().ShowFileLength(8000);
    client.Display().ShowChecksum("DEADBEEF");
    view.selection = CREATE_CONFIG_FILE;
    client.OnTransferTypeChanged();
    EXPECT_EQ(view.statFields[StatField::BytesSentRecvd], "");
    EXPECT_EQ(view.statFields[StatField::FileLength], "8000 bytes");
    EXPECT_EQ(view.statFields[StatField::Crc32], "DEADBEEF");
    EXPECT_EQ(client.State().transferType, CREATE_CONFIG_FILE);
    EXPECT_FALSE(view.enabled[DialogControl::DownloadToDevice]);
    EXPECT_TRUE(view.enabled[DialogControl::DownloadFileName]);

    // No selection changes nothing but the byte count.
    view.selection = -1;
    view.enabled.clear();
    client.OnTransferTypeChanged();
    EXPECT_TRUE(view.enabled.empty());
}

TEST_F(TftpClientTest, CloseOperationReportsCancelsSavesAndExitsWithTheResultCode) {
    client.InitDialog(Line({}));
    view.downloadField = "/fw/new.bin";
    view.uploadField = "/dumps/e.bin";
    view.addressFields = {127, 0, 3, 30};
    view.selection = SEND_COMMAND_FILE;
    client.OnDownloadToDevice();  // no ICMP module: the agent answers no ping within 20 s
    ASSERT_EQ(client.State().resultCode, kResultNoPingAnswer);
    view.statusLog.clear();

    client.OnClose();
    EXPECT_EQ(view.statusLog, (std::vector<std::string>{"Connection closed", "  ", "  "}));
    EXPECT_TRUE(client.Display().CancelRequested());
    EXPECT_TRUE(client.State().failureFlag);
    ASSERT_FALSE(view.exitRequests.empty());
    EXPECT_EQ(view.exitRequests.front(), kResultNoPingAnswer);

    const Settings saved = LoadSettings(IniProfile(profilePath));
    EXPECT_EQ(saved.transferType, SEND_COMMAND_FILE);
    EXPECT_EQ(saved.agentOctets, (net::Octets{127, 0, 3, 30}));
    EXPECT_EQ(saved.downloadPath, "/fw/new.bin");
    EXPECT_EQ(saved.uploadPath, "/dumps/e.bin");
}

// A script's run leaves the operator's profile as it found it, however it ends: the next
// interactive start finds the operator's own settings.
TEST_F(TftpClientTest, ACommandLineRunNeverWritesTheProfile) {
    const std::string profile = "[Settings]\ntype=5\nip0=10\nip1=0\nip2=3\nip3=9\n";
    for (const char* how : {"close", "close box", "signal"}) {
        SCOPED_TRACE(how);
        WriteProfile(profile);
        RecordingDialogView runView;
        TftpClient run{runView, clock, profilePath, ClientIo{nullptr, nullptr, nullptr, kNoModule}};
        ASSERT_TRUE(run.InitDialog(Line({"command", "/fw/run.cmd", "127.0.3.31"})));
        if (std::string_view(how) == "close") {
            run.OnCancel();
        } else if (std::string_view(how) == "close box") {
            run.OnClose();
        } else {
            run.OnStopSignal();
        }
        EXPECT_EQ(runView.exitRequests.front(), kResultRefused);
        EXPECT_EQ(testing::ReadFileBytes(profilePath), profile);
    }
}

TEST_F(TftpClientTest, StatusDisplayFormatsTheStatisticsAndCutsTheRangeTo16Bits) {
    StatusDisplay& display = client.Display();
    display.ShowFileLength(1000);
    display.ShowByteCount(32768);
    EXPECT_EQ(view.statFields[StatField::FileLength], "1000 bytes");
    EXPECT_EQ(view.statFields[StatField::BytesSentRecvd], "32768");
    display.BeginBlocks(65536 + 64);
    EXPECT_EQ(view.progressMaximum, 64);
    display.ShowFileLength(0);
    EXPECT_EQ(view.statFields[StatField::FileLength], "0 bytes");
}

}  // namespace
}  // namespace kalvoran

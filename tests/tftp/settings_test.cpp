#include "tftp/Settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kalvoran {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

TEST(LoadSettings, MissingOrEmptyProfileGivesDefaultsAndThePlaceholder) {
    TempDir dir;
    for (const char* content : {static_cast<const char*>(nullptr), "", "[Other]\ntype=3\n",
                                "\x01\x02garbage\xff\n[Settings\ntype"}) {
        const std::string path = dir.File("KalvoranTFTPclient.INI");
        std::remove(path.c_str());
        if (content != nullptr) {
            WriteFileBytes(path, content);
        }
        const Settings settings = LoadSettings(IniProfile(path));
        EXPECT_EQ(settings.transferType, 0);
        EXPECT_EQ(settings.agentOctets, (net::Octets{0, 0, 0, 0}));
        EXPECT_EQ(settings.downloadPath, "\\no file selected\\");
        EXPECT_EQ(settings.uploadPath, "\\no file selected\\");
    }
}

TEST(LoadSettings, WindowsWrittenProfileLoadsUnchanged) {
    TempDir dir;
    const std::string path = dir.File("KalvoranTFTPclient.INI");
    WriteFileBytes(path,
                   "; written by the field laptop\r\n"
                   "[settings]\r\n"
                   "TYPE=6\r\n"
                   "ip0=300\r\n"
                   "ip1=168\r\n"
                   "Ip2=0\r\n"
                   "ip3=20\r\n"
                   "Path=C:\\agents\\app.bin\r\n"
                   "uploadpath=C:\\dumps\\eeprom.bin\r\n");
    const Settings settings = LoadSettings(IniProfile(path));
    EXPECT_EQ(settings.transferType, 6);
    EXPECT_EQ(settings.agentOctets, (net::Octets{44, 168, 0, 20}));  // 300 keeps its low 8 bits
    EXPECT_EQ(settings.downloadPath, "C:\\agents\\app.bin");
    EXPECT_EQ(settings.uploadPath, "C:\\dumps\\eeprom.bin");
}

TEST(LoadSettings, TypeOutsideTheListIsLoadedUnchanged) {
    TempDir dir;
    const std::string path = dir.File("p.ini");
    WriteFileBytes(path, "[Settings]\ntype=9\n");
    EXPECT_EQ(LoadSettings(IniProfile(path)).transferType, 9);
}

// Each option key on its own: a whole number in its range is asked; anything else is named and
// not asked; an absent or empty key asks nothing and says nothing.
TEST(LoadSettings, OptionKeysAreAskedOnlyForAWholeNumberInRange) {
    struct Row {
        const char* lines;  // the option lines of the "Settings" section
        tftp::AskedOptions asked;
        std::vector<std::string> problems;
    };
    const Row rows[] = {
        {"", {0, 0}, {}},
        {"blksize=\nwindowsize=  \n", {0, 0}, {}},
        {"blksize=8\nwindowsize=64\n", {8, 64}, {}},
        {"BLKSIZE = 65464 \nwindowsize=1\n", {65464, 1}, {}},  // blanks come off every value
        {"blksize=7\nwindowsize=65\n",
         {0, 0},
         {"blksize=7 (8 to 65464)", "windowsize=65 (1 to 64)"}},
        {"blksize=65465\nwindowsize=0\n",
         {0, 0},
         {"blksize=65465 (8 to 65464)", "windowsize=0 (1 to 64)"}},
        {"blksize=abc\nwindowsize=16\n", {0, 16}, {"blksize=abc (8 to 65464)"}},
        {"blksize=1468\nwindowsize=1.5\n", {1468, 0}, {"windowsize=1.5 (1 to 64)"}},
        {"blksize=-3\nwindowsize=+4\n",
         {0, 0},
         {"blksize=-3 (8 to 65464)", "windowsize=+4 (1 to 64)"}},
        {"blksize=9999999999\n", {0, 0}, {"blksize=9999999999 (8 to 65464)"}},
        {"windowsize=1234567890123456789012345678901234567890\n",
         {0, 0},
         {"windowsize=12345678901234567890123456789012... (1 to 64)"}},  // a long value is cut
    };
    TempDir dir;
    const std::string path = dir.File("KalvoranTFTPclient.INI");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.lines);
        WriteFileBytes(path, std::string("[Settings]\ntype=2\n") + row.lines);
        const Settings settings = LoadSettings(IniProfile(path));
        EXPECT_EQ(settings.asked, row.asked);
        EXPECT_EQ(settings.optionProblems, row.problems);
        EXPECT_EQ(settings.transferType, 2);
    }
}

TEST(SaveSettings, NewProfileGetsTheKeysInOrder) {
    TempDir dir;
    const std::string path = dir.File("KalvoranTFTPclient.INI");
    IniProfile profile(path);
    SaveSettings(profile, 4, {10, 1, 2, 3}, "/home/op/app.bin", "/home/op/dump.cfg");
    const std::string text = ReadFileBytes(path);
    std::size_t at = 0;
    for (const char* key : {"[Settings]", "type=4", "ip0=10", "ip1=1", "ip2=2", "ip3=3",
                            "path=/home/op/app.bin", "uploadpath=/home/op/dump.cfg"}) {
        const std::size_t found = text.find(key, at);
        ASSERT_NE(found, std::string::npos) << key << " in\n" << text;
        at = found + 1;
    }
    EXPECT_EQ(text.find("size"), std::string::npos) << "the options are never written";
    const Settings back = LoadSettings(profile);
    EXPECT_EQ(back.transferType, 4);
    EXPECT_EQ(back.agentOctets, (net::Octets{10, 1, 2, 3}));
    EXPECT_EQ(back.downloadPath, "/home/op/app.bin");
    EXPECT_EQ(back.uploadPath, "/home/op/dump.cfg");
}

TEST(SaveSettings, PathsAreKeptOnlyWhenTheyNameAFileOfTheirDirection) {
    struct Row {
        const char* downloadField;
        const char* uploadField;
        const char* savedPath;        // what "path" holds afterwards
        const char* savedUploadPath;  // what "uploadpath" holds afterwards
    };
    const Row rows[] = {
        {"/fw/APP.BIN", "/d/DUMP.BIN", "/old/app.bin", "/old/dump.bin"},  // capitals: kept old
        {"\\no file selected\\", "\\no file selected\\", "/old/app.bin", "/old/dump.bin"},
        {"/notes.txt/firmware", "/d/x.cfg", "/notes.txt/firmware", "/d/x.cfg"},  // anywhere
        {"/fw/logo.gif", "/d/run.cmd", "/fw/logo.gif", "/old/dump.bin"},  // .cmd is no fetch file
        {"/fw/run.cmd", "/d/notes.txt", "/fw/run.cmd", "/old/dump.bin"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        const std::string path = dir.File("p.ini");
        WriteFileBytes(path, "[Settings]\npath=/old/app.bin\nuploadpath=/old/dump.bin\n");
        IniProfile profile(path);
        SaveSettings(profile, 0, {1, 2, 3, 4}, row.downloadField, row.uploadField);
        const Settings back = LoadSettings(profile);
        EXPECT_EQ(back.downloadPath, row.savedPath) << row.downloadField;
        EXPECT_EQ(back.uploadPath, row.savedUploadPath) << row.uploadField;
    }
}

TEST(SaveSettings, OtherSectionsKeysAndCommentsAreKept) {
    TempDir dir;
    const std::string path = dir.File("p.ini");
    WriteFileBytes(path, "; operator notes\n[Other]\nkeep=yes\n[Settings]\nextra=1\ntype=2\n");
    IniProfile profile(path);
    SaveSettings(profile, 5, {1, 2, 3, 4}, "", "");
    const std::string text = ReadFileBytes(path);
    EXPECT_NE(text.find("; operator notes"), std::string::npos);
    EXPECT_EQ(profile.GetString("Other", "keep", ""), "yes");
    EXPECT_EQ(profile.GetInt("Settings", "extra", 0), 1);
    EXPECT_EQ(profile.GetInt("Settings", "type", 0), 5);
}

TEST(SaveSettings, UnwritableProfileIsNotAnError) {
    IniProfile profile("/proc/kalvoran-no-such-dir/KalvoranTFTPclient.INI");
    SaveSettings(profile, 1, {1, 2, 3, 4}, "a.bin", "b.bin");  // must simply return
    EXPECT_EQ(LoadSettings(profile).transferType, 0);
}

}  // namespace
}  // namespace kalvoran

#include "files/IniProfile.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kalvoran {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::vector<std::string> DirectoryEntries(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

mode_t PermissionBits(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? (status.st_mode & 07777) : 0;
}

const std::string kPlaceholder = "\\no file selected\\";

class IniProfileTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.Path().empty()); }

    // What the dialog's LoadSettings asks for, with its defaults.
    void ExpectDefaults(const IniProfile& profile) {
        EXPECT_EQ(profile.GetInt("Settings", "type", 0), 0);
        for (const char* key : {"ip0", "ip1", "ip2", "ip3"}) {
            EXPECT_EQ(profile.GetInt("Settings", key, 0), 0) << key;
            EXPECT_EQ(profile.GetInt("Settings", key, -9), -9) << key;
        }
        EXPECT_EQ(profile.GetString("Settings", "path", ""), "");
        EXPECT_EQ(profile.GetString("Settings", "uploadpath", "dflt"), "dflt");
    }

    TempDir dir;
    std::string path = dir.File("KalvoranTFTPclient.INI");
};

TEST_F(IniProfileTest, MissingFileGivesDefaultsAndIsNotCreatedByReading) {
    IniProfile profile(path);
    ExpectDefaults(profile);
    EXPECT_TRUE(DirectoryEntries(dir.Path().string()).empty());
}

TEST_F(IniProfileTest, EmptyOrSectionlessFilesGiveDefaults) {
    for (const char* text : {"", "\n\n", "[Settings]\n", "type=4\nip0=10\n", "[Other]\ntype=4\n",
                             "; [Settings]\n; type=4\n", "[Settings]\ntype\nip0 10\n"}) {
        WriteFileBytes(path, text);
        ExpectDefaults(IniProfile(path));
    }
}

TEST_F(IniProfileTest, CorruptFilesDoNotCrashAndGiveDefaultsForKeysNotFound) {
    std::string garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    }
    const char nulText[] =
        "[Sett\0ings]\ntype=\0"
        "4\n";
    const std::string withNuls(nulText, sizeof nulText - 1);
    const std::string longLine(2 * 1024 * 1024, 'x');
    const std::string longSection = "[" + std::string(100000, 'S');
    for (const std::string& text : {garbage, withNuls, longLine, longSection, garbage + longLine}) {
        WriteFileBytes(path, text);
        ExpectDefaults(IniProfile(path));
    }
    // Readable parts after the garbage still count.
    WriteFileBytes(path, garbage + "\n" + longLine + "\n[Settings]\ntype=3\n");
    EXPECT_EQ(IniProfile(path).GetInt("Settings", "type", 0), 3);
}

TEST_F(IniProfileTest, UnreadableProfileGivesDefaultsAndCannotBeWritten) {
    // A directory where the profile should be: neither readable nor replaceable.
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    IniProfile profile(path);
    ExpectDefaults(profile);
    EXPECT_FALSE(profile.WriteInt("Settings", "type", 1));
    // A FIFO must not hang the reader waiting for a writer.
    const std::string fifo = dir.File("fifo.INI");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ExpectDefaults(IniProfile(fifo));
}

TEST_F(IniProfileTest, ProfileWrittenOnWindowsLoadsUnchanged) {
    WriteFileBytes(path,
                   "\xEF\xBB\xBF[SETTINGS]\r\n"
                   "Type=4\r\n"
                   "IP0=192\r\n"
                   "Ip1 = 168 \r\n"
                   "ip2=0\r\n"
                   "iP3=20\r\n"
                   "Path=C:\\agents\\app.bin\r\n"
                   "UPLOADPATH=\\\\server\\share\\eeprom.bin\r\n");
    const IniProfile profile(path);
    EXPECT_EQ(profile.GetInt("Settings", "type", 0), 4);
    EXPECT_EQ(profile.GetInt("settings", "ip0", 0), 192);
    EXPECT_EQ(profile.GetInt("Settings", "ip1", 0), 168);
    EXPECT_EQ(profile.GetInt("Settings", "IP2", 7), 0);
    EXPECT_EQ(profile.GetInt("Settings", "ip3", 0), 20);
    EXPECT_EQ(profile.GetString("Settings", "path", ""), "C:\\agents\\app.bin");
    EXPECT_EQ(profile.GetString("Settings", "uploadpath", ""), "\\\\server\\share\\eeprom.bin");
}

TEST_F(IniProfileTest, LayoutRulesOfTheProfileFunctions) {
    WriteFileBytes(path,
                   "orphan=1\n"
                   "; type=9 in a comment\n"
                   "[Settings]\n"
                   "# also a comment=8\n"
                   "  ;type=7\n"
                   "no equals sign here\n"
                   "   type   =   5   \n"
                   "type=6\n"
                   "\tip0\t=\t12\t\n"
                   "path = C:\\a b\\c.bin  \n"
                   "[ Settings ]\n"
                   "ip1=99\n"
                   "[Other]\n"
                   "ip2=55\n"
                   "[settings]\n"
                   "ip3=44\n");
    const IniProfile profile(path);
    EXPECT_EQ(profile.GetInt("Settings", "orphan", -1), -1);
    EXPECT_EQ(profile.GetInt("Settings", "type", 0), 5);  // the first of two wins
    EXPECT_EQ(profile.GetInt("Settings", "ip0", 0), 12);
    EXPECT_EQ(profile.GetString("Settings", "path", ""), "C:\\a b\\c.bin");
    // Only the first section of a name is read.
    EXPECT_EQ(profile.GetInt("Settings", "ip1", 0), 0);
    EXPECT_EQ(profile.GetInt("Settings", "ip3", 0), 0);
    EXPECT_EQ(profile.GetInt("Other", "ip2", 0), 55);
    EXPECT_EQ(profile.GetInt("Other", "type", -1), -1);
}

struct IntCase {
    const char* stored;
    int read;
};

TEST_F(IniProfileTest, IntegersReadLikeGetProfileInt) {
    const IntCase cases[] = {
        {"42", 42},
        {"-7", -7},
        {"+5", 5},
        {"007", 7},
        {"12abc", 12},
        {"3.9", 3},
        {"1 2", 1},
        {"abc", 0},
        {"-", 0},
        {"- 4", 0},
        {"0x1F", 0},
        {"\"6\"", 6},
        {"300", 300},  // the caller cuts an address field to its low 8 bits
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"2147483648", INT_MIN},  // 32-bit wrap-around, no overflow
        {"4294967297", 1},
        {"99999999999999999999", 1661992959},  // 10^20 - 1 modulo 2^32
        {"", 77},                              // empty: the default
        {"   ", 77},
        {"\"\"", 77},
    };
    for (const IntCase& c : cases) {
        WriteFileBytes(path, std::string("[Settings]\nvalue=") + c.stored + "\n");
        EXPECT_EQ(IniProfile(path).GetInt("Settings", "value", 77), c.read) << c.stored;
    }
}

struct QuoteCase {
    const char* stored;
    const char* read;
};

TEST_F(IniProfileTest, OnePairOfSurroundingQuotesIsRemoved) {
    const QuoteCase cases[] = {
        {"\"C:\\my files\\app.bin\"", "C:\\my files\\app.bin"},
        {"'app.bin'", "app.bin"},
        {"  \"  spaced  \"  ", "  spaced  "},
        {"\"\"\"x\"\"\"", "\"\"x\"\""},
        {"\"", "\""},
        {"\"\"", ""},
        {"\"open", "\"open"},
        {"\"mixed'", "\"mixed'"},
        {"in\"side\"", "in\"side\""},
    };
    for (const QuoteCase& c : cases) {
        WriteFileBytes(path, std::string("[Settings]\npath=") + c.stored + "\n");
        EXPECT_EQ(IniProfile(path).GetString("Settings", "path", "dflt"), c.read) << c.stored;
    }
}

TEST_F(IniProfileTest, PresentEmptyStringIsEmptyNotTheDefault) {
    WriteFileBytes(path, "[Settings]\npath=\nuploadpath=   \n");
    const IniProfile profile(path);
    EXPECT_EQ(profile.GetString("Settings", "path", "dflt"), "");
    EXPECT_EQ(profile.GetString("Settings", "uploadpath", "dflt"), "");
    EXPECT_EQ(profile.GetInt("Settings", "path", 3), 3);
}

TEST_F(IniProfileTest, NewProfileGetsKeysInTheOrderWritten) {
    IniProfile profile(path);
    EXPECT_TRUE(profile.WriteInt("Settings", "type", 2));
    EXPECT_TRUE(profile.WriteInt("Settings", "ip0", 192));
    EXPECT_TRUE(profile.WriteInt("Settings", "ip1", 168));
    EXPECT_TRUE(profile.WriteInt("Settings", "ip2", 0));
    EXPECT_TRUE(profile.WriteInt("Settings", "ip3", 20));
    EXPECT_TRUE(profile.WriteString("Settings", "path", "C:\\agents\\app.bin"));
    EXPECT_TRUE(profile.WriteString("Settings", "uploadpath", "/home/op/eeprom.bin"));
    EXPECT_EQ(ReadFileBytes(path),
              "[Settings]\ntype=2\nip0=192\nip1=168\nip2=0\nip3=20\n"
              "path=C:\\agents\\app.bin\nuploadpath=/home/op/eeprom.bin\n");
    EXPECT_EQ(profile.GetString("Settings", "path", ""), "C:\\agents\\app.bin");
    EXPECT_EQ(profile.GetInt("Settings", "ip0", 0), 192);
    EXPECT_EQ(DirectoryEntries(dir.Path().string()),
              std::vector<std::string>{"KalvoranTFTPclient.INI"});
}

TEST_F(IniProfileTest, PlaceholderAndNegativeNumbersRoundTrip) {
    IniProfile profile(path);
    ASSERT_TRUE(profile.WriteString("Settings", "path", kPlaceholder));
    ASSERT_TRUE(profile.WriteInt("Settings", "type", INT_MIN));
    EXPECT_EQ(profile.GetString("Settings", "path", ""), kPlaceholder);
    EXPECT_EQ(profile.GetInt("Settings", "type", 0), INT_MIN);
    EXPECT_NE(ReadFileBytes(path).find("path=\\no file selected\\\n"), std::string::npos);
}

TEST_F(IniProfileTest, WritingKeepsEverythingElseAndPlacesKeys) {
    WriteFileBytes(path,
                   "; written by hand\n"
                   "stray=1\n"
                   "\n"
                   "[Display]\n"
                   "font = Courier ; not a comment\n"
                   "\n"
                   "[SETTINGS]\n"
                   "Type = 1\n"
                   "ip0=10\n"
                   "#ip1=11 switched off\n"
                   "; keep me\n"
                   "\n"
                   "[Display]\n"
                   "ip1=3\n");
    IniProfile profile(path);
    EXPECT_TRUE(profile.WriteInt("settings", "TYPE", 6));
    EXPECT_TRUE(profile.WriteString("Settings", "path", "D:\\fw\\rom.bin"));
    EXPECT_TRUE(profile.WriteInt("Display", "ip1", 4));
    EXPECT_TRUE(profile.WriteString("Network", "mtu", "1500"));
    EXPECT_EQ(ReadFileBytes(path),
              "; written by hand\n"
              "stray=1\n"
              "\n"
              "[Display]\n"
              "font = Courier ; not a comment\n"
              "ip1=4\n"
              "\n"
              "[SETTINGS]\n"
              "Type=6\n"
              "ip0=10\n"
              "path=D:\\fw\\rom.bin\n"
              "#ip1=11 switched off\n"
              "; keep me\n"
              "\n"
              "[Display]\n"
              "ip1=3\n"
              "\n"
              "[Network]\n"
              "mtu=1500\n");
    EXPECT_EQ(profile.GetString("Display", "font", ""), "Courier ; not a comment");
}

TEST_F(IniProfileTest, WindowsLineEndsAndByteOrderMarkAreKept) {
    WriteFileBytes(path, "\xEF\xBB\xBF[Settings]\r\nType=4\r\npath=C:\\a.bin\r\n");
    IniProfile profile(path);
    EXPECT_TRUE(profile.WriteInt("Settings", "type", 5));
    EXPECT_TRUE(profile.WriteString("Settings", "uploadpath", "C:\\b.cfg"));
    EXPECT_EQ(ReadFileBytes(path),
              "\xEF\xBB\xBF[Settings]\r\nType=5\r\npath=C:\\a.bin\r\nuploadpath=C:\\b.cfg\r\n");
}

TEST_F(IniProfileTest, FileWithoutFinalLineEndGetsTheNewKeyOnItsOwnLine) {
    WriteFileBytes(path, "[Settings]\ntype=1");
    IniProfile profile(path);
    EXPECT_TRUE(profile.WriteInt("Settings", "ip0", 9));
    EXPECT_EQ(ReadFileBytes(path), "[Settings]\ntype=1\nip0=9\n");
}

TEST_F(IniProfileTest, NamesWithSurroundingBlanksReadWhatTheyWrote) {
    // The write takes the names without their blanks; so does the read.
    IniProfile profile(path);
    EXPECT_TRUE(profile.WriteString(" Other\t", " ip0 ", "7"));
    EXPECT_EQ(ReadFileBytes(path), "[Other]\nip0=7\n");
    EXPECT_EQ(profile.GetString(" Other\t", " ip0 ", "none"), "7");
    EXPECT_EQ(profile.GetInt("\tother ", "IP0\t", 0), 7);
    EXPECT_EQ(profile.GetString("Other", "ip0", "none"), "7");
}

TEST_F(IniProfileTest, CarriageReturnsBeforeALineEndGoAtTheFirstRewrite) {
    // A line ending in several carriage returns in a file of plain line ends: the first write
    // drops them all, so writing the same value again leaves the file as it is.
    for (const char* text : {"[Settings]\ntype=1\r\r\nip0=2\r\r\r\n", "[Settings]\ntype=1\r\r"}) {
        WriteFileBytes(path, text);
        IniProfile profile(path);
        ASSERT_TRUE(profile.WriteInt("Settings", "ip1", 3));
        const std::string once = ReadFileBytes(path);
        EXPECT_EQ(once.find('\r'), std::string::npos) << text;
        ASSERT_TRUE(profile.WriteInt("Settings", "ip1", 3));
        EXPECT_EQ(ReadFileBytes(path), once) << text;
        EXPECT_EQ(profile.GetInt("Settings", "type", 0), 1);
    }
}

TEST_F(IniProfileTest, RewriteKeepsPermissionBitsAndLeavesNoTemporaryFiles) {
    WriteFileBytes(path, "[Settings]\ntype=1\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    IniProfile profile(path);
    EXPECT_TRUE(profile.WriteInt("Settings", "type", 2));
    EXPECT_EQ(PermissionBits(path), 0640u);
    EXPECT_EQ(DirectoryEntries(dir.Path().string()),
              std::vector<std::string>{"KalvoranTFTPclient.INI"});
}

TEST_F(IniProfileTest, NewProfileFollowsTheUmask) {
    const mode_t oldMask = ::umask(077);
    const bool written = IniProfile(path).WriteInt("Settings", "type", 1);
    ::umask(oldMask);
    EXPECT_TRUE(written);
    EXPECT_EQ(PermissionBits(path), 0600u);
}

TEST_F(IniProfileTest, WriteThroughASymbolicLinkKeepsTheLink) {
    const std::string real = dir.File("real.INI");
    WriteFileBytes(real, "[Settings]\ntype=1\n");
    ASSERT_EQ(::symlink(real.c_str(), path.c_str()), 0);
    EXPECT_TRUE(IniProfile(path).WriteInt("Settings", "type", 3));
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    EXPECT_EQ(ReadFileBytes(real), "[Settings]\ntype=3\n");
}

TEST_F(IniProfileTest, MissingConfigDirectoryIsCreatedOneLevelOnly) {
    const std::string inNewDir = dir.File(".config/KalvoranTFTPclient.INI");
    EXPECT_TRUE(IniProfile(inNewDir).WriteInt("Settings", "type", 1));
    EXPECT_EQ(ReadFileBytes(inNewDir), "[Settings]\ntype=1\n");
    EXPECT_EQ(PermissionBits(dir.File(".config")), 0700u);

    const std::string deeper = dir.File("a/b/KalvoranTFTPclient.INI");
    EXPECT_FALSE(IniProfile(deeper).WriteInt("Settings", "type", 1));
    EXPECT_FALSE(std::filesystem::exists(dir.File("a")));
}

TEST_F(IniProfileTest, WritesThatCannotSucceedReturnFalseAndChangeNothing) {
    const std::string original = "[Settings]\ntype=1\n";
    WriteFileBytes(path, original);
    IniProfile profile(path);
    EXPECT_FALSE(profile.WriteString("Settings", "path", "a.bin\n[Evil]\nx=1"));
    EXPECT_FALSE(profile.WriteString("Settings", "path", "a\rb.bin"));
    EXPECT_FALSE(profile.WriteString("Settings", "path", std::string("a\0b", 3)));
    EXPECT_FALSE(profile.WriteString("Settings", "", "x"));
    EXPECT_FALSE(profile.WriteString("", "path", "x"));
    EXPECT_FALSE(profile.WriteString("Set]tings", "path", "x"));
    EXPECT_FALSE(profile.WriteString("Settings", "pa=th", "x"));
    EXPECT_FALSE(profile.WriteString("Settings", ";path", "x"));
    EXPECT_EQ(ReadFileBytes(path), original);

    // A regular file where the directory should be.
    const std::string blocker = dir.File("blocker");
    WriteFileBytes(blocker, "x");
    EXPECT_FALSE(IniProfile(blocker + "/KalvoranTFTPclient.INI").WriteInt("Settings", "type", 1));
    // A profile too large to be ours is left alone.
    const std::string huge = std::string("[Settings]\ntype=1\n") + std::string(5 << 20, ';');
    WriteFileBytes(path, huge);
    EXPECT_FALSE(profile.WriteInt("Settings", "type", 2));
    EXPECT_EQ(ReadFileBytes(path).size(), huge.size());
}

// Sets or unsets an environment variable for one test and puts it back afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* variable, const char* value) : name(variable) {
        if (const char* old = std::getenv(name)) {
            saved = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (saved) {
            ::setenv(name, saved->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name;
    std::optional<std::string> saved;
};

std::string PasswordHome() {
    const struct passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

struct PathCase {
    const char* xdgConfigHome;  // nullptr: unset
    const char* home;           // nullptr: unset
    std::string expected;
};

TEST(DefaultProfilePath, FollowsXdgConfigHomeThenHomeThenThePasswordEntry) {
    const std::string name = "KalvoranTFTPclient.INI";
    const std::string passwordHome = PasswordHome();
    const PathCase cases[] = {
        {"/cfg/x", "/home/op", "/cfg/x/" + name},
        {"", "/home/op", "/home/op/.config/" + name},
        {nullptr, "/home/op", "/home/op/.config/" + name},
        {"relative/dir", "/home/op", "/home/op/.config/" + name},
        {nullptr, nullptr, passwordHome.empty() ? name : passwordHome + "/.config/" + name},
        {nullptr, "", passwordHome.empty() ? name : passwordHome + "/.config/" + name},
    };
    for (const PathCase& c : cases) {
        ScopedEnv xdg("XDG_CONFIG_HOME", c.xdgConfigHome);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(DefaultProfilePath(), c.expected)
            << (c.xdgConfigHome ? c.xdgConfigHome : "(unset)") << " / "
            << (c.home ? c.home : "(unset)");
    }
}

}  // namespace
}  // namespace kalvoran

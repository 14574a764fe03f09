#include "tftp/CommandLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/AgentOnWire.h"
#include "support/ArgumentVector.h"
#include "support/FakeClock.h"
#include "support/Pattern.h"
#include "support/ScriptedPing.h"
#include "support/TempDir.h"
#include "support/TextLines.h"
#include "tftp/CommandLineRun.h"
#include "tftp/ResultCode.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {
namespace {

CommandLine Parse(const std::vector<std::string>& arguments) {
    return testing::ParseArguments(ParseCommandLine, arguments, "KalvoranTFTPclient");
}

TEST(CommandLine, ArgumentCountDecidesTheKindOfRun) {
    using Kind = CommandLine::Kind;
    struct Row {
        std::vector<std::string> arguments;
        Kind kind;
    };
    const Row rows[] = {
        {{}, Kind::Interactive},
        {{"image"}, Kind::UsageError},
        {{"image", "app.bin"}, Kind::UsageError},
        {{"image", "app.bin", "10.0.0.1"}, Kind::Run},
        {{"image", "app.bin", "10.0.0.1", "silent"}, Kind::Run},
        {{"image", "app.bin", "10.0.0.1", "silent", "extra"}, Kind::UsageError},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Parse(row.arguments).kind, row.kind) << row.arguments.size();
    }
}

TEST(CommandLine, ThreeArgumentsFillTheFieldsWithModeVerbose) {
    const CommandLine line = Parse({"image", "C:\\fw\\app.bin", "192.168.0.20"});
    EXPECT_EQ(line.fileTypeArgument, "image");
    EXPECT_EQ(line.fileNameArgument, "C:\\fw\\app.bin");
    EXPECT_EQ(line.addressArgument, "192.168.0.20");
    EXPECT_EQ(line.modeArgument, "verbose");
    EXPECT_FALSE(line.silent);
    EXPECT_EQ(line.transferType, APPLICATION_UPGRADE);
    EXPECT_EQ(line.agentOctets, (net::Octets{192, 168, 0, 20}));
}

TEST(CommandLine, OnlyTheExactWordSilentMinimises) {
    struct Row {
        const char* mode;
        bool silent;
    };
    const Row rows[] = {{"silent", true},
                        {"Silent", false},
                        {"silent ", false},
                        {"verbose", false},
                        {"quiet", false}};
    for (const Row& row : rows) {
        const CommandLine line = Parse({"config", "a.cfg", "10.0.0.1", row.mode});
        EXPECT_EQ(line.kind, CommandLine::Kind::Run) << row.mode;
        EXPECT_EQ(line.silent, row.silent) << row.mode;
        EXPECT_EQ(line.modeArgument, row.mode);
    }
}

TEST(CommandLine, UnknownKeywordLeavesTheSavedType) {
    EXPECT_EQ(Parse({"IMAGE", "a.bin", "10.0.0.1"}).transferType, -1);
    EXPECT_EQ(Parse({"myfilesystem", "a.txt", "10.0.0.1"}).transferType, SEND_FILE_TO_FILE_SYSTEM);
}

TEST(CommandLine, OverLongArgumentsAreAUsageErrorNotACutText) {
    const std::string type20(20, 'i');
    const std::string name256 = std::string(252, 'a') + ".bin";
    const std::string address20 = "010.000.000.001.0000";
    const std::string mode20(20, 's');
    EXPECT_EQ(Parse({type20, "a.bin", "10.0.0.1"}).kind, CommandLine::Kind::UsageError);
    EXPECT_EQ(Parse({"image", name256, "10.0.0.1"}).kind, CommandLine::Kind::UsageError);
    EXPECT_EQ(Parse({"image", "a.bin", address20}).kind, CommandLine::Kind::UsageError);
    EXPECT_EQ(Parse({"image", "a.bin", "10.0.0.1", mode20}).kind, CommandLine::Kind::UsageError);
    // The longest accepted texts still make a run.
    EXPECT_EQ(
        Parse({std::string(19, 'i'), name256.substr(1), "10.0.0.1", std::string(19, 's')}).kind,
        CommandLine::Kind::Run);
}

TEST(CommandLine, MalformedAddressBecomesAllZeroInsteadOfAnotherCard) {
    for (const char* address : {"192.168.1.300", "1.2.3.4.5", "10.0.0", "", "a.b.c.d"}) {
        const CommandLine line = Parse({"image", "a.bin", address});
        EXPECT_EQ(line.kind, CommandLine::Kind::Run) << address;
        EXPECT_EQ(line.agentOctets, (net::Octets{0, 0, 0, 0})) << address;
    }
}

TEST(CommandLine, AnOverLongArgumentIsNamedWithItsLimitInsteadOfTheUsage) {
    const std::string type20(20, 'i');
    const std::string name256 = std::string(252, 'a') + ".bin";
    const std::string address20 = "010.000.000.001.0000";
    const std::string mode20(20, 's');
    struct Row {
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Row rows[] = {
        {{type20, "a.bin", "10.0.0.1"},
         "The file type argument is too long (at most 19 characters)."},
        {{"image", name256, "10.0.0.1"},
         "The file name argument is too long (at most 255 characters)."},
        {{"image", "a.bin", address20},
         "The IP address argument is too long (at most 19 characters)."},
        {{"image", "a.bin", "10.0.0.1", mode20},
         "The fourth argument is too long (at most 19 characters)."},
        // Several over-long: the first is named.
        {{"image", name256, address20, mode20},
         "The file name argument is too long (at most 255 characters)."},
    };
    for (const Row& row : rows) {
        const CommandLine line = Parse(row.arguments);
        EXPECT_EQ(line.kind, CommandLine::Kind::UsageError) << row.reason;
        EXPECT_EQ(line.usageReason, row.reason);
        EXPECT_EQ(UsageErrorText(line), row.reason);
    }

    // Each argument at its limit, the others short: a run, with no reason.
    const Row atLimit[] = {
        {{std::string(19, 'i'), "a.bin", "10.0.0.1"}, {}},
        {{"image", name256.substr(1), "10.0.0.1"}, {}},
        {{"image", "a.bin", address20.substr(1)}, {}},
        {{"image", "a.bin", "10.0.0.1", std::string(19, 's')}, {}},
    };
    for (const Row& row : atLimit) {
        const CommandLine line = Parse(row.arguments);
        EXPECT_EQ(line.kind, CommandLine::Kind::Run) << row.arguments[1];
        EXPECT_EQ(line.usageReason, "");
    }
}

TEST(CommandLine, AWrongNumberOfArgumentsStillTellsTheUsage) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"image"},
          {"image", std::string(300, 'a')},
          {"image", "a.bin", "10.0.0.1", "silent", "extra"}}) {
        const CommandLine line = Parse(arguments);
        EXPECT_EQ(line.kind, CommandLine::Kind::UsageError);
        EXPECT_EQ(
            UsageErrorText(line),
            "Wrong number of arguments!\n"
            "Usage: KalvoranTFTPclient <filetype> <filename> <IP address> <silent>(optional)");
    }
}

// A run without a window, in simulated time against the simulated agent: option values the
// profile holds out of range are one line on standard error, and the run goes on as the plain
// protocol, with its log and its exit code as ever.
TEST(RunCommandLine, OptionValuesOutOfRangeAreOneLineOnTheFailureStreamAndTheRunGoesOn) {
    testing::TempDir dir;
    const std::string image = testing::PatternString(3000);
    testing::WriteFileBytes(dir.File("app.bin"), image);
    const std::string profile = dir.File("KalvoranTFTPclient.INI");
    testing::WriteFileBytes(profile, "[Settings]\nblksize=abc\nwindowsize=65\n");
    fakes::FakeClock clock;
    fakes::ScriptedPing ping;
    ASSERT_TRUE(ping.Loaded());
    ping.answer = [&clock](std::uint32_t, std::uint32_t) {
        clock.Advance(1);
        return true;
    };
    fakes::AgentOnWire wire(clock, net::ToStorageOrder({127, 0, 28, 1}));
    std::FILE* log = std::fopen(dir.File("log.txt").c_str(), "w");
    std::FILE* failures = std::fopen(dir.File("failures.txt").c_str(), "w");
    ASSERT_TRUE(log != nullptr && failures != nullptr);

    const int code = RunCommandLine(Parse({"image", dir.File("app.bin"), "127.0.28.1"}), profile,
                                    ClientIo{log, failures, &wire, ping.Path(), &clock});
    std::fclose(log);
    std::fclose(failures);
    EXPECT_EQ(code, kResultSuccess);
    const auto stored = wire.storage.Load("image.bin");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(testing::Text(*stored), image);
    EXPECT_EQ(testing::ReadFileBytes(dir.File("failures.txt")),
              "Profile values out of range: blksize=abc (8 to 65464), windowsize=65 (1 to 64); "
              "the plain protocol is used for them.\n");
    const std::string logged = testing::ReadFileBytes(dir.File("log.txt"));
    EXPECT_NE(logged.find("Connection closed"), std::string::npos) << logged;
    EXPECT_EQ(logged.find("Profile value"), std::string::npos) << logged;
}

// The test's own environment: each variable set to a value of its own before, and put back
// as it was after.
class ToolkitEnvironment : public ::testing::Test {
protected:
    static constexpr const char* kLoaderVariables[] = {
        "QT_PLUGIN_PATH",       "QT_QPA_PLATFORM_PLUGIN_PATH", "QT_QPA_PLATFORM",
        "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE",           "QT_QPA_GENERIC_PLUGINS",
        "QT_DEBUG_PLUGINS"};
    // Read by the toolkit, but loads no code: kept.
    static constexpr const char* kKeptVariables[] = {"QT_SCALE_FACTOR", "HOME", "XDG_CONFIG_HOME"};

    void SetUp() override {
        Remember(kLoaderVariables);
        Remember(kKeptVariables);
        for (const char* name : kLoaderVariables) {
            setenv(name, (std::string("/tmp/planted/") + name).c_str(), 1);
        }
        for (const char* name : kKeptVariables) {
            setenv(name, (std::string("kept-") + name).c_str(), 1);
        }
    }
    void TearDown() override {
        for (const auto& [name, value] : saved) {
            if (value.has_value()) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }
    template <std::size_t N>
    void Remember(const char* const (&names)[N]) {
        for (const char* name : names) {
            const char* value = std::getenv(name);
            saved.emplace_back(name,
                               value != nullptr ? std::optional<std::string>(value) : std::nullopt);
        }
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(ToolkitEnvironment, SecureExecutionDropsTheVariablesThatLoadCodeAndKeepsTheRest) {
    DropToolkitLoaderVariables(false);
    for (const char* name : kLoaderVariables) {
        ASSERT_NE(std::getenv(name), nullptr) << name << ": an ordinary start keeps it";
        EXPECT_EQ(std::getenv(name), std::string("/tmp/planted/") + name);
    }

    DropToolkitLoaderVariables(true);
    for (const char* name : kLoaderVariables) {
        EXPECT_EQ(std::getenv(name), nullptr) << name;
    }
    for (const char* name : kKeptVariables) {
        ASSERT_NE(std::getenv(name), nullptr) << name;
        EXPECT_EQ(std::getenv(name), std::string("kept-") + name);
    }
}

}  // namespace
}  // namespace kalvoran

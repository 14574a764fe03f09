// The built delay program run as a child process without a display: its exit codes, its usage on
// standard error, and a real wait timed from outside.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ProgramPath.h"

namespace {

using kalvoran::testing::BinDir;
using kalvoran::testing::RunProgram;
using kalvoran::testing::RunResult;

const char* const kUsage = "Wrong number of arguments!\nUsage: delay <seconds>\n";

// Runs delay with the given arguments, with no window system in its environment, or with a
// display that cannot be reached; standard error is kept apart.
RunResult RunDelay(const std::vector<std::string>& arguments, const char* display = nullptr) {
    std::vector<std::string> argv{
        "env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
    if (display != nullptr) {
        argv.push_back(std::string("DISPLAY=") + display);
    }
    argv.push_back((BinDir() / "delay").string());
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunProgram(argv, 15000, true);
}

TEST(DelayProgram, withoutDisplay_exitCodesAndUsageOnStandardError) {
    const struct {
        std::vector<std::string> arguments;
        const char* display;
        int exitCode;
        std::string errors;
    } cases[] = {
        {{}, nullptr, 0, ""},
        {{"-3"}, nullptr, 0, ""},
        {{"abc"}, nullptr, 0, ""},
        {{"1", "2"}, nullptr, 2, kUsage},
        {{"5", "x", "y"}, nullptr, 2, kUsage},
        {{"1", "2"}, ":97", 2, kUsage},  // a display nobody serves: falls back to no window
    };
    for (const auto& c : cases) {
        const RunResult run = RunDelay(c.arguments, c.display);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments.size();
        EXPECT_EQ(run.errors, c.errors) << c.arguments.size();
        EXPECT_EQ(run.output, "") << c.arguments.size();
    }
}

TEST(DelayProgram, threeSeconds_takesAboutThreeSecondsAndExits0) {
    const auto begin = std::chrono::steady_clock::now();
    const RunResult run = RunDelay({"3"});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.errors, "");
    EXPECT_GE(took.count(), 2.5);
    EXPECT_LE(took.count(), 6.0);
}

}  // namespace

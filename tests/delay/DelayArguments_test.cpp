// Argument reading, caption and the wait arithmetic of the delay program.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>

#include "delay/DelayApp.h"
#include "delay/DelayArguments.h"
#include "delay/DelayCountdown.h"

namespace kalvoran::delay {
namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();

TEST(DelayArguments, parseSeconds_readsLikeStrtolInBase10) {
    const struct {
        const char* argument;
        std::int32_t seconds;
    } cases[] = {
        {"30", 30},
        {"12abc", 12},
        {"-3", -3},
        {"abc", 0},
        {"\t 9x", 9},
        {"0x10", 0},
        {"100000", 100000},
        {"000000000005", 5},
        {"99999999999", kInt32Max},
        {"-99999999999", kInt32Min},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseSeconds(c.argument), c.seconds) << "argument \"" << c.argument << "\"";
    }
    EXPECT_EQ(ParseSeconds(nullptr), 0);
}

TEST(DelayArguments, captionAndCommandByWordCount) {
    EXPECT_EQ(FormatCaption(30), "Delay 30 seconds");
    EXPECT_EQ(FormatCaption(-3), "Delay -3 seconds");
    EXPECT_EQ(FormatCaption(kInt32Min), "Delay -2147483648 seconds");
    EXPECT_EQ(ClassifyArguments(1), DelayCommand::EndSilently);
    EXPECT_EQ(ClassifyArguments(2), DelayCommand::Wait);
    EXPECT_EQ(ClassifyArguments(3), DelayCommand::ShowUsage);
    EXPECT_EQ(ClassifyArguments(7), DelayCommand::ShowUsage);
}

TEST(DelayArguments, choosePlatforms_endsWithOffscreenUnlessOneIsNamed) {
    EXPECT_EQ(ChoosePlatforms("", "", ""), "offscreen");
    EXPECT_EQ(ChoosePlatforms("", ":0", ""), "xcb;offscreen");
    EXPECT_EQ(ChoosePlatforms("", ":0", "wayland-0"), "wayland;xcb;offscreen");
    EXPECT_EQ(ChoosePlatforms("vnc", ":0", ""), "vnc");
}

TEST(DelayCountdown, barRangeIsTheWholeWait) {
    EXPECT_EQ(BarMaximum(5), 5);
    EXPECT_EQ(BarMaximum(70000), 70000);
    EXPECT_EQ(BarMaximum(100000), 100000);
    EXPECT_EQ(BarMaximum(kInt32Max), kInt32Max);
    EXPECT_EQ(BarMaximum(0), 1);
    EXPECT_EQ(BarMaximum(-3), 1);
}

TEST(DelayCountdown, stepsEachSecond_andEndsNoEarlierThanTheFullWait) {
    DelayCountdown countdown;
    countdown.Start(500ms, 3);
    const struct {
        std::chrono::milliseconds now;
        int barPosition;
        bool finished;
        std::chrono::milliseconds untilNextStep;
    } passes[] = {
        {500ms, 0, false, 1000ms}, {1499ms, 0, false, 1ms}, {1500ms, 1, false, 1000ms},
        {2700ms, 2, false, 800ms}, {3499ms, 2, false, 1ms}, {3500ms, 3, true, 1000ms},
        {400ms, 0, false, 1000ms},  // a reading before the start counts as the start
    };
    for (const auto& p : passes) {
        const DelayPass pass = countdown.Advance(p.now);
        EXPECT_EQ(pass.barPosition, p.barPosition) << p.now.count();
        EXPECT_EQ(pass.finished, p.finished) << p.now.count();
        EXPECT_EQ(pass.untilNextStep, p.untilNextStep) << p.now.count();
    }
}

TEST(DelayCountdown, gapCatchesUp_andEndsWithTheBarFull) {
    DelayCountdown countdown;
    countdown.Start(0ms, 10);
    EXPECT_EQ(countdown.Advance(1s).barPosition, 1);
    EXPECT_EQ(countdown.Advance(7s).barPosition, 7);
    const DelayPass pastTheEnd = countdown.Advance(25s);
    EXPECT_EQ(pastTheEnd.barPosition, 10);
    EXPECT_TRUE(pastTheEnd.finished);

    countdown.Start(0ms, 100000);
    EXPECT_FALSE(countdown.Advance(99999s).finished);
    EXPECT_EQ(countdown.Advance(100000s).barPosition, 100000);
}

TEST(DelayCountdown, zeroOrNegativeWait_endsAtTheFirstPass) {
    for (const std::int32_t seconds : {0, -3, kInt32Min}) {
        DelayCountdown countdown;
        countdown.Start(100ms, seconds);
        const DelayPass pass = countdown.Advance(100ms);
        EXPECT_TRUE(pass.finished) << seconds;
        EXPECT_EQ(pass.barPosition, 0) << seconds;
    }
}

}  // namespace
}  // namespace kalvoran::delay

// Argument reading, caption, bar range and the whole-second countdown of the delay program.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "delay/DelayArguments.h"

namespace kalvoran::delay {
namespace {

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();

TEST(DelayArguments, parseSeconds_readsLikeStrtolInBase10) {
    struct Case {
        const char* argument;
        std::int32_t seconds;
    };
    const Case cases[] = {
        {"5", 5},
        {"30", 30},
        {"12abc", 12},
        {"-3", -3},
        {"+4", 4},
        {"abc", 0},
        {"", 0},
        {" 7", 7},
        {"\t 9x", 9},
        {"0x10", 0},  // base 10: the x ends the number
        {"010", 10},  // base 10: no octal
        {"- 3", 0},   // a sign must touch its digits
        {"70000", 70000},
        // Longer than 11 characters: read whole, not cut.
        {"000000000005", 5},
        {"      000042", 42},
        // Beyond 32 bits: saturated.
        {"99999999999", kInt32Max},
        {"-99999999999", kInt32Min},
        {"2147483647", kInt32Max},
        {"-2147483648", kInt32Min},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseSeconds(c.argument), c.seconds) << "argument \"" << c.argument << "\"";
    }
    EXPECT_EQ(ParseSeconds(nullptr), 0);
}

TEST(DelayArguments, formatCaption_statesTheWait) {
    EXPECT_EQ(FormatCaption(30), "Delay 30 seconds");
    EXPECT_EQ(FormatCaption(5), "Delay 5 seconds");
    EXPECT_EQ(FormatCaption(0), "Delay 0 seconds");
    EXPECT_EQ(FormatCaption(-3), "Delay -3 seconds");
    EXPECT_EQ(FormatCaption(1), "Delay 1 seconds");
    EXPECT_EQ(FormatCaption(kInt32Min), "Delay -2147483648 seconds");
}

TEST(DelayArguments, barUpperBound_isTheLow16Bits) {
    EXPECT_EQ(BarUpperBound(5), 5);
    EXPECT_EQ(BarUpperBound(65535), 65535);
    EXPECT_EQ(BarUpperBound(65536), 0);
    EXPECT_EQ(BarUpperBound(70000), 4464);
    EXPECT_EQ(BarUpperBound(-3), 65533);
    EXPECT_EQ(BarUpperBound(kInt32Max), 65535);
}

TEST(DelayArguments, classifyArguments_byWordCount) {
    EXPECT_EQ(ClassifyArguments(0), DelayCommand::kEndSilently);
    EXPECT_EQ(ClassifyArguments(1), DelayCommand::kEndSilently);
    EXPECT_EQ(ClassifyArguments(2), DelayCommand::kWait);
    EXPECT_EQ(ClassifyArguments(3), DelayCommand::kShowUsage);
    EXPECT_EQ(ClassifyArguments(7), DelayCommand::kShowUsage);
}

TEST(DelayArguments, advanceBarPosition_stopsAtTheEnd) {
    EXPECT_EQ(AdvanceBarPosition(0, 1, 5), 1);
    EXPECT_EQ(AdvanceBarPosition(2, 3, 5), 5);
    EXPECT_EQ(AdvanceBarPosition(4, 3, 5), 5);
    EXPECT_EQ(AdvanceBarPosition(5, 1, 5), 5);
    EXPECT_EQ(AdvanceBarPosition(3, 0, 5), 3);
    EXPECT_EQ(AdvanceBarPosition(0, std::numeric_limits<int>::max(), 65535), 65535);
    EXPECT_EQ(AdvanceBarPosition(65000, std::numeric_limits<int>::max(), 65535), 65535);
}

TEST(DelayCountdown, stepsOncePerSecond_andEndsAfterTheFullWait) {
    CDelayCountdown countdown;
    countdown.Start(100, 5);
    int position = 0;
    for (std::time_t now = 100; now < 105; ++now) {
        const DelayPass pass = countdown.Advance(now);
        EXPECT_FALSE(pass.finished) << "at " << now - 100 << " s";
        position += pass.steps;
        EXPECT_EQ(position, now - 100);
        // A second pass within the same second takes no step.
        EXPECT_EQ(countdown.Advance(now).steps, 0);
    }
    const DelayPass last = countdown.Advance(105);
    EXPECT_TRUE(last.finished);
    EXPECT_EQ(position + last.steps, 5);
}

TEST(DelayCountdown, gapOfSeveralSeconds_catchesUp) {
    CDelayCountdown countdown;
    countdown.Start(100, 10);
    EXPECT_EQ(countdown.Advance(101).steps, 1);
    const DelayPass gap = countdown.Advance(104);
    EXPECT_EQ(gap.steps, 3);
    EXPECT_FALSE(gap.finished);
    EXPECT_EQ(countdown.Advance(105).steps, 1);
    const DelayPass pastTheEnd = countdown.Advance(130);
    EXPECT_EQ(pastTheEnd.steps, 25);
    EXPECT_TRUE(pastTheEnd.finished);
}

TEST(DelayCountdown, zeroOrNegativeWait_endsAtTheFirstPass) {
    for (const std::int32_t seconds : {0, -3, kInt32Min}) {
        CDelayCountdown countdown;
        countdown.Start(100, seconds);
        const DelayPass pass = countdown.Advance(100);
        EXPECT_TRUE(pass.finished) << seconds;
        EXPECT_EQ(pass.steps, 0) << seconds;
    }
}

TEST(DelayCountdown, clockGoingBack_takesNoStep) {
    CDelayCountdown countdown;
    countdown.Start(100, 5);
    const DelayPass pass = countdown.Advance(98);
    EXPECT_EQ(pass.steps, 0);
    EXPECT_FALSE(pass.finished);
    EXPECT_EQ(countdown.Advance(101).steps, 1);
}

TEST(DelayCountdown, longWait_endsExactlyAtItsLength) {
    CDelayCountdown countdown;
    countdown.Start(0, 70000);
    EXPECT_FALSE(countdown.Advance(69999).finished);
    EXPECT_TRUE(countdown.Advance(70000).finished);
}

}  // namespace
}  // namespace kalvoran::delay

// Command-line handling of the delay program and the arithmetic of its wait. Toolkit-free, so
// the rules are tested without a window.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace kalvoran::delay {

// The usage text and its box caption, shown when the argument count is wrong.
inline constexpr const char* kUsageText = "Wrong number of arguments!\nUsage: delay <seconds>";
inline constexpr const char* kErrorCaption = "Error";

// What the command line asks for; the count includes the program name.
enum class DelayCommand {
    kEndSilently,  // no argument: end at once without a word
    kShowUsage,    // two or more arguments: usage box, then end
    kWait,         // exactly one argument: wait that many seconds
};
DelayCommand ClassifyArguments(int wordCount);

// The wait length of an argument, read like strtol in base 10: leading blanks and a sign are
// allowed, reading stops at the first non-digit, and no digits give 0 ("12abc" is 12, "abc" is
// 0). Values beyond the 32-bit range saturate at its ends, as strtol does with a 32-bit long.
std::int32_t ParseSeconds(const char* argumentText);

// The window caption: "Delay <seconds> seconds".
std::string FormatCaption(std::int32_t seconds);

// The upper end of the bar's range: the low 16 bits of the wait length, as the progress
// control takes a 16-bit range (70000 gives 4464).
int BarUpperBound(std::int32_t seconds);

// The bar's new position after some steps; it stops at the upper end of its range.
int AdvanceBarPosition(int position, int steps, int upperBound);

// One pass of the wait.
struct DelayPass {
    int steps = 0;          // bar steps for the seconds elapsed since the last step
    bool finished = false;  // the wait has lasted the full number of seconds
};

// The wait in whole seconds. A step is due whenever the clock has moved on since the last step;
// after a gap of several seconds (the window held up) all missed steps are taken at once, so
// the bar keeps pace with the time. The wait is over once the clock has moved on by the wait
// length, that is after more than seconds - 1 and at most seconds real seconds.
class CDelayCountdown {
public:
    void Start(std::time_t now, std::int32_t seconds);
    DelayPass Advance(std::time_t now);

private:
    std::time_t m_startTime = 0;
    std::time_t m_lastStepTime = 0;
    std::int32_t m_seconds = 0;
};

}  // namespace kalvoran::delay

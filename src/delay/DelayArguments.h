// Command-line handling of the delay program. Toolkit-free, so the rules are tested without a
// window.
#pragma once

#include <cstdint>
#include <string>

namespace kalvoran::delay {

// The usage text and its box caption, shown when the argument count is wrong.
inline constexpr const char* kUsageText = "Wrong number of arguments!\nUsage: delay <seconds>";
inline constexpr const char* kErrorCaption = "Error";

// Exit codes: the wait took place (or there was nothing to wait for), or the call was wrong. A
// script must not take a broken call for a finished wait, so the usage error has its own code,
// the one the client program uses for its usage error.
inline constexpr int kExitDone = 0;
inline constexpr int kExitUsage = 2;

// What the command line asks for; the count includes the program name.
enum class DelayCommand {
    EndSilently,  // no argument: end at once without a word
    ShowUsage,    // two or more arguments: usage, then end with kExitUsage
    Wait,         // exactly one argument: wait that many seconds
};
DelayCommand ClassifyArguments(int wordCount);

// The wait length of an argument, read like strtol in base 10: leading blanks and a sign are
// allowed, reading stops at the first non-digit, and no digits give 0 ("12abc" is 12, "abc" is
// 0). The argument is read whole, however long. Values beyond the 32-bit range saturate at its
// ends, as strtol does with a 32-bit long.
std::int32_t ParseSeconds(const char* argumentText);

// The window caption: "Delay <seconds> seconds".
std::string FormatCaption(std::int32_t seconds);

}  // namespace kalvoran::delay

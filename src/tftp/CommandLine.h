// The command line of KalvoranTFTPclient: none (interactive), or
// <filetype> <filename> <IP address> and an optional fourth word.
#pragma once

#include <string>
#include <string_view>

#include "net/Addressing.h"

namespace kalvoran {

inline constexpr std::string_view kUsageText =
    "Wrong number of arguments!\n"
    "Usage: KalvoranTFTPclient <filetype> <filename> <IP address> <silent>(optional)";

// A usage error ends the program with this code, so that a script never reads it as a
// successful transfer.
inline constexpr int kUsageExitCode = 2;

// Longest accepted argument texts; a longer one is a usage error rather than a cut text.
inline constexpr std::size_t kMaxFileTypeArgument = 19;
inline constexpr std::size_t kMaxFileNameArgument = 255;
inline constexpr std::size_t kMaxAddressArgument = 19;
inline constexpr std::size_t kMaxModeArgument = 19;

// The reasons of a usage error other than a wrong number of arguments: one argument is longer
// than its limit. A printf format for the argument's name and its limit.
inline constexpr char kArgumentTooLongText[] =
    "The %s argument is too long (at most %zu characters).";

struct CommandLine {
    enum class Kind { Interactive, Run, UsageError };
    Kind kind = Kind::Interactive;
    std::string fileTypeArgument;
    std::string fileNameArgument;
    std::string addressArgument;
    std::string modeArgument;  // the fourth word, or "verbose"
    // The type whose keyword the file-type argument contains, -1 when none does (the saved
    // type then stays).
    int transferType = -1;
    // The agent address; 0.0.0.0 when the argument is not a plain dotted quad, so that the run
    // later ends with exit code 3 instead of reaching another card.
    net::Octets agentOctets{};
    // "silent", exactly: the window starts minimised.
    bool silent = false;
    // A usage error's own reason (an over-long argument); empty when the number of arguments
    // is wrong, whose text is kUsageText.
    std::string usageReason;
};

// What a usage error tells: its own reason, or else the usage.
std::string_view UsageErrorText(const CommandLine& line);

// The environment variables through which the toolkit loads code from a directory of the
// caller's choosing or picks the platform (and so the plugin) it starts:
//  - QT_PLUGIN_PATH: more directories to load plugins of every kind from;
//  - QT_QPA_PLATFORM_PLUGIN_PATH: the directory the platform plugin is loaded from;
//  - QT_QPA_PLATFORM: which platform plugin is loaded (and its options);
//  - QT_QPA_PLATFORMTHEME: which platform theme plugin is loaded;
//  - QT_STYLE_OVERRIDE: which style (a style plugin when none is built in) is loaded;
//  - QT_QPA_GENERIC_PLUGINS: generic plugins (input devices) loaded at start-up;
//  - QT_DEBUG_PLUGINS: prints every plugin path and file looked at, telling a caller where to
//    plant one.
inline constexpr std::string_view kToolkitLoaderVariables[] = {
    "QT_PLUGIN_PATH",    "QT_QPA_PLATFORM_PLUGIN_PATH", "QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME",
    "QT_STYLE_OVERRIDE", "QT_QPA_GENERIC_PLUGINS",      "QT_DEBUG_PLUGINS"};

// In secure-execution mode (the program holds a capability or set-ID its caller lacks) removes
// kToolkitLoaderVariables from the environment, so that the caller cannot make the privileged
// process load code of theirs; otherwise leaves the environment alone. Call before the toolkit
// starts.
void DropToolkitLoaderVariables(bool secureExecution);

// argv[0] is the program name; arguments are counted without it.
CommandLine ParseCommandLine(int argc, const char* const* argv);

}  // namespace kalvoran

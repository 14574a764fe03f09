// A command-line run without a window, start to end: the arguments become a Transfer, an
// AgentLink sends it, the console report tells the script (the status log on standard output,
// the reasons on standard error), and the chain's end becomes the exit code. No toolkit, no
// view. The windowed command-line run shares the rules of the type and the notices.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "net/DatagramSocket.h"
#include "tftp/Clock.h"
#include "tftp/CommandLine.h"
#include "tftp/Settings.h"
#include "tftp/Transfer.h"

namespace kalvoran {

// Where a command-line run writes its log and its reasons for failure, the socket the sessions
// use and the ICMP module they ping with (the program's own unless a test hands in others), and
// the time RunCommandLine runs in (the system's unless a test hands in another; the window is
// handed its clock of its own).
struct ClientIo {
    std::FILE* log = stdout;
    std::FILE* failures = stderr;
    net::DatagramSocket* socket = nullptr;
    const char* pingModule = nullptr;
    Clock* clock = nullptr;
};

// The line a command-line run ended by a stop signal writes to the failure stream.
inline constexpr std::string_view kStopSignalText = "Cancelled: the run was stopped by a signal.";

struct CommandLineType {
    int type = -1;
    std::string refusal;  // not empty: nothing may be sent, and this says why
};

// The type a command-line run sends as: its keyword's, else the saved type. Scripts rely on the
// saved type (that is how bootloader images are sent); with none saved, guessing one could flash
// a bootloader image into the application slot, so the run is refused.
CommandLineType TypeOfCommandLine(const CommandLine& line, const Settings& settings);
// The notice on the failure stream of a run whose keyword names no type, so that the script's
// author sees which type the run uses.
std::string SavedTypeNotice(const CommandLine& line, int type);
// The transfer the arguments describe, asking for the profile's options.
Transfer CommandLineTransfer(const CommandLine& line, int type, const tftp::AskedOptions& asked);

// The whole run; returns the exit code. SIGTERM, SIGINT and SIGHUP end it as the close operation
// does (the session cancelled, the file closed, exit code 2). The profile is read, never written;
// option values it sets aside are one line on the failure stream, and the run goes on.
int RunCommandLine(const CommandLine& line, std::string profilePath, ClientIo io = {});

}  // namespace kalvoran

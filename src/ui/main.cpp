// KalvoranTFTPclient: interactive, or unattended with <filetype> <filename> <IP address> [silent];
// the exit code is the transfer's result.
#include <QApplication>

#include <sys/auxv.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "files/IniProfile.h"
#include "net/DisplayProbe.h"
#include "tftp/CommandLine.h"
#include "tftp/CommandLineRun.h"
#include "tftp/ResultCode.h"
#include "tftp/StopSignals.h"
#include "ui/TftpClientDlg.h"

namespace {

// A command-line run writes its log to standard output and its reasons for failure to standard
// error, and nothing else: the toolkit's own warnings (a missing XDG_RUNTIME_DIR under cron)
// would only confuse the script reading them.
void DropToolkitMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

void WriteLine(std::string_view text) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

}  // namespace

int main(int argc, char* argv[]) {
    using kalvoran::CommandLine;
    // Installed with the ping capability, the program must not let its caller choose code for
    // the toolkit to load: in secure-execution mode the variables that name plugins or their
    // directories go before anything reads them.
    kalvoran::DropToolkitLoaderVariables(getauxval(AT_SECURE) != 0);
    const CommandLine commandLine = kalvoran::ParseCommandLine(argc, argv);
    if (commandLine.kind == CommandLine::Kind::Run) {
        // A script that stops reading the log (a pipe into head) must not kill the transfer: the
        // upgrade goes on and its exit code still tells how it went.
        std::signal(SIGPIPE, SIG_IGN);
    }
    const kalvoran::net::DisplayState display = kalvoran::net::ProbeDisplay();
    if (display != kalvoran::net::DisplayState::Opens ||
        (commandLine.kind != CommandLine::Kind::Interactive && kalvoran::net::PlatformUnseen())) {
        // Nobody would see a window: an unattended run goes on without the toolkit, and a usage
        // error is told on standard error instead of in a box nobody could close.
        switch (commandLine.kind) {
            case CommandLine::Kind::Run:
                return kalvoran::RunCommandLine(commandLine, kalvoran::DefaultProfilePath());
            case CommandLine::Kind::UsageError:
                WriteLine(kalvoran::UsageErrorText(commandLine));
                return kalvoran::kUsageExitCode;
            case CommandLine::Kind::Interactive:
                if (display == kalvoran::net::DisplayState::Opens) {
                    break;  // an interactive start on a platform of the toolkit's own
                }
                // Refused locally: exit code 1 would tell a script that the agent answered no
                // ping.
                WriteLine(display == kalvoran::net::DisplayState::NotNamed
                              ? "KalvoranTFTPclient: no display to show the dialog on (DISPLAY "
                                "and WAYLAND_DISPLAY are not set); give a command line to run "
                                "unattended"
                              : "KalvoranTFTPclient: the display cannot be opened (nothing "
                                "answers at DISPLAY or WAYLAND_DISPLAY); give a command line to "
                                "run unattended");
                return kalvoran::kResultRefused;
        }
    }
    if (commandLine.kind == CommandLine::Kind::Run) {
        qInstallMessageHandler(DropToolkitMessages);
    }

    // The toolkit takes no options from the command line (-platformpluginpath, -platform,
    // -style would let the caller load code of theirs): it is handed the program name alone.
    char fallbackName[] = "KalvoranTFTPclient";
    int toolkitArgc = 1;
    char* toolkitArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
    QApplication application(toolkitArgc, toolkitArgv);
    kalvoran::CTftpClientDlg dialog(kalvoran::DefaultProfilePath());
    kalvoran::StopSignals stopSignals;
    dialog.WatchStopSignals(stopSignals);
    if (!dialog.Initialise(commandLine)) {
        return dialog.ExitRequested().value_or(0);
    }
    dialog.show();
    const int loopResult = QApplication::exec();
    return dialog.ExitRequested().value_or(loopResult);
}

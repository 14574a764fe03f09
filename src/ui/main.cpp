// KalvoranTFTPclient: interactive, or unattended with <filetype> <filename> <IP address> [silent];
// the exit code is the transfer's result.
#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "files/IniProfile.h"
#include "tftp/CommandLine.h"
#include "ui/TftpClientDlg.h"

namespace {

// A command-line run writes its log to standard output and its reasons for failure to standard
// error, and nothing else: the toolkit's own warnings (a missing XDG_RUNTIME_DIR under cron, an
// off-screen platform's notes) would only confuse the script reading them.
void DropToolkitMessages(QtMsgType, const QMessageLogContext&, const QString&) {}

bool DisplayAvailable() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char* argv[]) {
    // Read the arguments before the toolkit takes its own options out of them.
    const kalvoran::CommandLine commandLine = kalvoran::ParseCommandLine(argc, argv);
    if (commandLine.kind == kalvoran::CommandLine::Kind::Run) {
        qInstallMessageHandler(DropToolkitMessages);
        // A script that stops reading the log (a pipe into head) must not kill the transfer: the
        // upgrade goes on and its exit code still tells how it went.
        std::signal(SIGPIPE, SIG_IGN);
    }
    if (!DisplayAvailable()) {
        if (commandLine.kind == kalvoran::CommandLine::Kind::UsageError) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(kalvoran::kUsageText.size()),
                         kalvoran::kUsageText.data());
            return kalvoran::kUsageExitCode;
        }
        if (commandLine.kind == kalvoran::CommandLine::Kind::Interactive) {
            // Refused locally: exit code 1 would tell a script that the agent answered no ping.
            std::fprintf(stderr,
                         "KalvoranTFTPclient: no display to show the dialog on (DISPLAY and "
                         "WAYLAND_DISPLAY are not set); give a command line to run unattended\n");
            return kalvoran::kResultRefused;
        }
        // An unattended run needs no screen: the dialog runs off screen.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    // Off screen nobody sees the window: an unattended run there keeps it hidden and so spends
    // nothing on painting it. Its log, bar and boxes are still kept up to date.
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool unseen = commandLine.kind == kalvoran::CommandLine::Kind::Run &&
                        platform != nullptr && std::string_view(platform) == "offscreen";

    QApplication application(argc, argv);
    kalvoran::CTftpClientDlg dialog(kalvoran::DefaultProfilePath());
    if (!dialog.Initialise(commandLine)) {
        return dialog.ExitRequested().value_or(0);
    }
    if (!unseen) {
        dialog.show();
    }
    const int loopResult = QApplication::exec();
    return dialog.ExitRequested().value_or(loopResult);
}

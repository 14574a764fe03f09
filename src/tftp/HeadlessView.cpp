#include "tftp/HeadlessView.h"

#include <csignal>
#include <utility>

#include "tftp/Clock.h"
#include "tftp/TftpClient.h"

namespace kalvoran {

namespace {

volatile std::sig_atomic_t gStopSignal = 0;

void OnStopSignal(int) {
    gStopSignal = 1;
}

}  // namespace

void HeadlessView::PumpMessages() {
    if (gStopSignal != 0 && onStop && !stopped) {
        stopped = true;
        onStop();
    }
}

void HeadlessView::ShowErrorBox(std::string_view text) {
    if (failures != nullptr) {
        std::fprintf(failures, "%.*s\n", static_cast<int>(text.size()), text.data());
        std::fflush(failures);
    }
}

void HeadlessView::RequestExit(int code) {
    if (!exitCode.has_value()) {
        exitCode = code;  // the first request carries the result
    }
}

int RunHeadless(const CommandLine& commandLine, std::string profilePath) {
    HeadlessView view;
    SystemClock clock;
    TftpClient client(view, clock, std::move(profilePath));
    view.SetStopHandler([&client] { client.OnStopSignal(); });
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal, &stop, nullptr);
    }
    if (client.InitDialog(commandLine)) {
        client.OnDownloadToDevice();
    }
    return view.ExitRequested().value_or(client.resultCode);
}

}  // namespace kalvoran

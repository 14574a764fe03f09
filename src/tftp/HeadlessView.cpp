#include "tftp/HeadlessView.h"

#include <string>
#include <utility>

#include "files/StreamWrite.h"
#include "tftp/Clock.h"
#include "tftp/StopSignals.h"
#include "tftp/TftpClient.h"

namespace kalvoran {

void HeadlessView::PumpMessages() {
    if (stopSignals != nullptr && stopSignals->Take() && onStop && !stopped) {
        stopped = true;
        onStop();
    }
}

void HeadlessView::ShowErrorBox(std::string_view text) {
    if (failures != nullptr) {
        WriteWithoutStalling(failures, std::string(text) + '\n');
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
    StopSignals stopSignals;
    view.SetStopHandler(stopSignals, [&client] { client.OnStopSignal(); });
    if (client.InitDialog(commandLine)) {
        client.OnDownloadToDevice();
    }
    return view.ExitRequested().value_or(client.resultCode);
}

}  // namespace kalvoran

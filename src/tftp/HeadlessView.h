// The view of a command-line run that has no display: it keeps the window's fields in memory
// and shows nothing. The run's report is the ConsoleReport's (every status-log line on the log
// stream, every reason on the failure stream); a box that reaches this view anyway (none does
// on the send path) is written to the failure stream, so no reason is lost.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>

#include "tftp/CommandLine.h"
#include "tftp/DialogView.h"
#include "tftp/StopSignals.h"

namespace kalvoran {

class HeadlessView : public DialogView {
public:
    explicit HeadlessView(std::FILE* failureStream = stderr) : failures(failureStream) {}

    // The exit code the core asked for first, if it has.
    std::optional<int> ExitRequested() const { return exitCode; }

    void AppendStatusLine(std::string_view) override {}
    void ClearStatusLog() override {}
    void ShowErrorBox(std::string_view text) override;
    void SetProgressRange(std::uint16_t) override {}
    void SetProgressStep(int) override {}
    void SetProgressPos(int) override {}
    void StepProgress() override {}
    void SetStatField(StatField, std::string_view) override {}
    void SetTransferTypeList(std::span<const std::string_view>) override {}
    int TransferTypeSelection() const override { return selection; }
    void SelectTransferType(int index) override { selection = index; }
    std::string DownloadFileName() const override { return downloadName; }
    std::string UploadFileName() const override { return uploadName; }
    void SetDownloadFileName(std::string_view path) override { downloadName = path; }
    void SetUploadFileName(std::string_view path) override { uploadName = path; }
    net::Octets AddressFields() const override { return address; }
    void SetAddressFields(const net::Octets& octets) override { address = octets; }
    void SetLocalHost(std::string_view, std::string_view) override {}
    void EnableControl(DialogControl, bool) override {}
    void MinimizeWindow() override {}
    // A stop signal (see RunHeadless) runs the stop handler at the next pump, where a window's
    // close request would run.
    void PumpMessages() override;
    void SetStopHandler(StopSignals& caught, std::function<void()> handler) {
        stopSignals = &caught;
        onStop = std::move(handler);
    }
    void KeepWindowAlive() override {}
    void RequestExit(int code) override;

private:
    std::FILE* failures;
    int selection = -1;
    std::string downloadName;
    std::string uploadName;
    net::Octets address{};
    std::optional<int> exitCode;
    StopSignals* stopSignals = nullptr;
    std::function<void()> onStop;
    bool stopped = false;
};

// A command-line run without a display, start to end: the client's start-up over a headless
// view, the send, and the exit code. No toolkit is started. SIGTERM, SIGINT and SIGHUP end the
// run as the close operation does (the session cancelled, the file closed, exit code 2).
int RunHeadless(const CommandLine& commandLine, std::string profilePath);

}  // namespace kalvoran

// The sessions' one door to whoever watches them: status-log lines, typed progress, the
// statistics, reasons for failure, keeping a window alive while a session waits, and the cancel
// flag through which the close operation (or a stop signal) reaches a waiting session. What it
// is told goes to a LinkObserver (the window, the fleet worker, or nobody) and, in a
// command-line run, to the console report: the log to the log stream, what a window would show
// as a box (or a reason for failure) to the failure stream.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tftp/ConsoleReport.h"
#include "tftp/LinkObserver.h"
#include "tftp/WaitHooks.h"

namespace kalvoran {

// A status line or box text from one of the system's printf-style templates, cut at 2 KiB.
std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The 18 lines the status log starts with.
std::span<const std::string_view> InstructionLines();

class StatusDisplay final : public WaitHooks {
public:
    StatusDisplay(LinkObserver& linkObserver, const ConsoleReport& consoleReport)
        : observer(linkObserver), console(consoleReport) {}

    // In a command-line run the line also goes to the log stream.
    void AppendStatusLine(std::string_view text) {
        observer.StatusLine(text);
        console.LogLine(text);
    }
    // An error box in an interactive run; a line on the failure stream in a command-line run,
    // which must never stop on a modal box nobody will answer. The detail (the system's words)
    // goes into the same box, or on the same line after a colon.
    void ShowErrorBox(std::string_view text, std::string_view detail = {});
    // A status-log line that tells why a session fails; a command-line run also writes it to
    // the failure stream.
    void ReportFailure(std::string_view text) {
        AppendStatusLine(text);
        console.FailureLine(text);
    }
    // A reason for the failure stream of a command-line run only (nothing interactively).
    void FailureLine(std::string_view text) { console.FailureLine(text); }

    // Writes the instructions line by line.
    void WriteInstructions();

    // Progress. A phase names the step that starts; blocks are counted from 0 of total.
    void BeginPhase(LinkPhase phase);
    void BeginBlocks(std::int32_t total);
    void SetBlockTotal(std::int32_t total);
    void BlockDone();
    void AllDone();  // the bar full (a status text came)
    void ResetProgress();
    void ShowByteCount(std::int64_t bytes);
    void ShowFileLength(std::int32_t bytes) { observer.FileLength(bytes); }
    void ShowChecksum(std::string_view crcText) { observer.Checksum(crcText); }

    void PumpMessages() override { observer.Pump(); }
    void KeepWindowAlive() override { observer.KeepAlive(); }

    // The cancel flag: cleared when a run starts, raised only by the close operation and never
    // cleared afterwards. Waiting code pumps, then tests it.
    void ClearCancel() { cancelFlag = false; }
    void RaiseCancel() { cancelFlag = true; }
    bool CancelRequested() const override { return cancelFlag; }

private:
    LinkObserver& observer;
    const ConsoleReport& console;
    Progress progress;
    bool cancelFlag = false;
};

}  // namespace kalvoran

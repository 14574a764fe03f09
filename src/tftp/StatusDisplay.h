// The sessions' one door to the window: status log lines, the progress bar, the three statistics
// boxes, error boxes, keeping the window alive while a session waits, and the cancel flag through
// which the close operation reaches a waiting session. In a command-line run the log also goes to
// the log stream, and what would be a box (or a reason for failure) to the failure stream.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "tftp/ConsoleReport.h"
#include "tftp/DialogView.h"
#include "tftp/WaitHooks.h"

namespace kalvoran {

// A status line or box text from one of the system's printf-style templates, cut at 2 KiB.
std::string FormatLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The 18 lines the status log starts with.
std::span<const std::string_view> InstructionLines();

class StatusDisplay final : public WaitHooks {
public:
    StatusDisplay(DialogView& dialogView, const ConsoleReport& consoleReport)
        : view(dialogView), console(consoleReport) {}

    // In a command-line run the line also goes to the log stream.
    void AppendStatusLine(std::string_view text) {
        view.AppendStatusLine(text);
        console.LogLine(text);
    }
    // An error box in an interactive run; a line on the failure stream in a command-line run,
    // which must never stop on a modal box nobody will answer.
    void ShowErrorBox(std::string_view text) {
        if (console.Enabled()) {
            console.FailureLine(text);
        } else {
            view.ShowErrorBox(text);
        }
    }
    // A status-log line that tells why a session fails; a command-line run also writes it to
    // the failure stream.
    void ReportFailure(std::string_view text) {
        AppendStatusLine(text);
        console.FailureLine(text);
    }
    // A reason for the failure stream of a command-line run only (nothing interactively).
    void FailureLine(std::string_view text) { console.FailureLine(text); }

    // Empties the log, then writes the instructions line by line.
    void WriteInstructions();
    // Index of the selected "File Transfer Type" entry, -1 when nothing is selected.
    int CurrentTransferType() const { return view.TransferTypeSelection(); }

    // The range's upper end is 16 bits wide: a larger value is taken modulo 65536.
    void SetProgressRange(int maximum) {
        view.SetProgressRange(static_cast<std::uint16_t>(maximum & 0xFFFF));
    }
    void SetProgressStep(int step) { view.SetProgressStep(step); }
    void SetProgressPos(int position) { view.SetProgressPos(position); }
    void StepProgress() { view.StepProgress(); }

    void ShowFileLength(std::int32_t bytes);      // "%d bytes"
    void ShowChecksum(std::string_view crcText);  // the eight digits as they are
    void ShowByteCount(std::int32_t bytes);       // "%d"
    void ClearByteCount() { view.SetStatField(StatField::BytesSentRecvd, ""); }

    void PumpMessages() override { view.PumpMessages(); }
    void KeepWindowAlive() override { view.KeepWindowAlive(); }

    // The cancel flag: cleared when the dialog starts, raised only by the close operation and
    // never cleared afterwards. Waiting code pumps, then tests it.
    void ClearCancel() { cancelFlag = false; }
    void RaiseCancel() { cancelFlag = true; }
    bool CancelRequested() const override { return cancelFlag; }

private:
    DialogView& view;
    const ConsoleReport& console;
    bool cancelFlag = false;
};

}  // namespace kalvoran

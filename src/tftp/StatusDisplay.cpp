#include "tftp/StatusDisplay.h"

#include <array>
#include <cstdarg>
#include <cstdio>

namespace kalvoran {

namespace {

constexpr std::array<std::string_view, 18> kInstructions = {
    "                        TFTP TRANSFER INSTRUCTIONS",
    "  ",
    "* Enter the agents IP address in the 'TFTP settings' group.",
    "  ",
    "* Select the transfer type in the 'File Settings' group.",
    "  ",
    "* Select/enter the file name in the active 'File Name' box",
    "  ",
    "* Click on the PING button to verify the network connection to the agent.",
    "  ",
    "* Click on the DOWNLOAD/UPLOAD button to begin the transfer.",
    "  ",
    "* If the transfer fails, check settings and re-click DOWNLOAD/UPLOAD",
    "  ",
    "*** DO NOT INTERRUPT THE TRANSFER PROCESS",
    "*** UNTIL IT IS COMPLETED, OTHERWISE,",
    "*** THE AGENT MAY BECOME UNSTABLE.",
    "  ",
};

}  // namespace

std::string FormatLine(const char* format, ...) {
    char line[2048];
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    return written < 0 ? std::string() : std::string(line);
}

std::span<const std::string_view> InstructionLines() {
    return kInstructions;
}

std::string_view PhaseName(LinkPhase phase) {
    switch (phase) {
        case LinkPhase::Ping:
            return "ping";
        case LinkPhase::Sending:
            return "sending";
        case LinkPhase::Fetching:
            return "fetching";
        case LinkPhase::Status:
            return "status";
    }
    return "ping";
}

BarPosition BarOf(const Progress& progress) {
    BarPosition bar;
    bar.maximum = static_cast<std::uint16_t>(progress.total & 0xFFFF);
    const std::int64_t span = std::int64_t{bar.maximum} + 1;
    bar.position = progress.done <= 0 ? 0 : static_cast<int>(progress.done % span);
    return bar;
}

void StatusDisplay::ShowErrorBox(std::string_view text, std::string_view detail) {
    if (console.Enabled()) {
        console.FailureLine(detail.empty() ? std::string(text)
                                           : std::string(text) + ": " + std::string(detail));
    } else {
        observer.ErrorBox(text, detail);
    }
}

void StatusDisplay::WriteInstructions() {
    for (std::string_view line : kInstructions) {
        AppendStatusLine(line);
    }
}

void StatusDisplay::BeginPhase(LinkPhase phase) {
    progress = Progress{phase, 0, progress.total, 0};
    observer.PhaseBegun(phase);
}

void StatusDisplay::BeginBlocks(std::int32_t total) {
    progress.total = total;
    progress.done = 0;
    observer.ProgressChanged(progress);
}

void StatusDisplay::SetBlockTotal(std::int32_t total) {
    progress.total = total;
    observer.ProgressChanged(progress);
}

void StatusDisplay::BlockDone() {
    ++progress.done;
    observer.ProgressChanged(progress);
}

void StatusDisplay::AllDone() {
    progress.done = progress.total;
    observer.ProgressChanged(progress);
}

void StatusDisplay::ResetProgress() {
    progress.done = 0;
    observer.ProgressChanged(progress);
}

void StatusDisplay::ShowByteCount(std::int64_t bytes) {
    progress.bytes = bytes;
    observer.BytesCounted(bytes);
}

}  // namespace kalvoran

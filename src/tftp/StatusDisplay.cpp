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

void StatusDisplay::WriteInstructions() {
    view.ClearStatusLog();
    for (std::string_view line : kInstructions) {
        AppendStatusLine(line);
    }
}

void StatusDisplay::ShowFileLength(std::int32_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%d bytes", static_cast<int>(bytes));
    view.SetStatField(StatField::FileLength, text);
}

void StatusDisplay::ShowChecksum(std::string_view crcText) {
    view.SetStatField(StatField::Crc32, crcText);
}

void StatusDisplay::ShowByteCount(std::int32_t bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", static_cast<int>(bytes));
    view.SetStatField(StatField::BytesSentRecvd, text);
}

}  // namespace kalvoran

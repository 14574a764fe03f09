// What a command-line run tells the script that started it. Every status-log line also goes to
// the log stream (standard output) as it is appended, and the text of every message box that the
// run does not show goes to the failure stream (standard error) instead, so that a script sees why
// it got its exit code. One line each, written at once, so that a pipe or a log file follows the
// run as it happens; a reader that stops reading loses lines but never holds up the transfer
// (WriteWithoutStalling). Nothing is written while the report is off (interactive runs).
#pragma once

#include <cstdio>
#include <string_view>

namespace kalvoran {

class ConsoleReport {
public:
    ConsoleReport(std::FILE* logStream, std::FILE* failureStream)
        : log(logStream), failures(failureStream) {}

    void Enable() { enabled = true; }
    bool Enabled() const { return enabled; }

    void LogLine(std::string_view text) const {
        if (!Write(log, text)) {
            logLost = true;
        }
    }
    // Some of the log did not reach its stream (a full disk, a reader that stopped).
    bool LogLost() const { return logLost; }
    void FailureLine(std::string_view text) const { (void)Write(failures, text); }

private:
    // Line breaks inside a text (an ERROR description spans two lines) end lines of their own;
    // carriage returns are left out. False when not all of it was written.
    bool Write(std::FILE* stream, std::string_view text) const;

    std::FILE* log;
    std::FILE* failures;
    bool enabled = false;
    mutable bool logLost = false;
};

}  // namespace kalvoran

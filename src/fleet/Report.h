// The report of a fleet run: one row per agent saying what was done with it and how it ended,
// written as CSV (for a spreadsheet) or JSON (for a script), chosen by the file's extension. The
// file is replaced in one step, so a reader sees the previous report or the new one, never half
// of one. The texts come from the inventory and from the agents, so any bytes are written
// without failing (invalid UTF-8 becomes U+FFFD in JSON, and is kept as it is in CSV).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kalvoran::fleet {

// One agent's row. The fields are written in this order, under these names.
struct AgentRecord {
    std::string address;
    std::string label;
    std::string action;  // "send", "eeprom", "configfile", "status"
    int result = 0;      // 0..4
    std::string reason;  // the failure text, empty on success
    std::int64_t bytes = 0;
    double seconds = 0;  // written with millisecond precision (3 decimals); not finite: 0
    int attempts = 0;
    std::string status;  // the agent's final status text when one was read, else empty
};

// An agent that --skip-current left alone: its latest send was this file, and it succeeded.
inline constexpr std::string_view kAlreadyCurrent = "already current: ";
inline bool IsAlreadyCurrent(const AgentRecord& record) {
    return record.result == 0 && record.attempts == 0 && record.reason.starts_with(kAlreadyCurrent);
}

enum class ReportFormat { Csv, Json };

// By the extension of path's last component, case-insensitive: ".csv" or ".json"; nullopt
// otherwise (a name that is only the extension, like ".csv", has none).
std::optional<ReportFormat> ReportFormatFor(std::string_view path);

// RFC 4180: a header row of the field names, then one row per record, every line ended by
// CR LF. A field holding a comma, a double quote, CR or LF is put in double quotes with its
// quotes doubled; numbers are never quoted.
std::string FormatCsv(const std::vector<AgentRecord>& rows);

// An array of one object per record, the field names as keys in the record's order, numbers as
// JSON numbers; 2-space indentation and a newline at the end. Never throws.
std::string FormatJson(const std::vector<AgentRecord>& rows);

// Writes the report in the format of path's extension to a new file beside path, then renames
// it over path; when path is a link to an existing file, that file is the one replaced. False with
// error set to "report: PATH: reason" when the extension is neither, path names something other
// than a regular file, or the file cannot be written; path is then left as it was.
bool WriteReport(const std::string& path, const std::vector<AgentRecord>& rows, std::string& error);

}  // namespace kalvoran::fleet

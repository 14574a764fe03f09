#include "fleet/Report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "files/AsciiText.h"
#include "tftp/AgentText.h"

namespace kalvoran::fleet {

namespace {

constexpr const char* kFieldNames[] = {"address", "label",   "action",   "result", "reason",
                                       "bytes",   "seconds", "attempts", "status"};
constexpr std::string_view kCsvLineEnd = "\r\n";
constexpr int kSecondsDecimals = 3;
// Ordinary read and write permission for everyone the umask allows, as for any new file.
constexpr mode_t kCreateMode = 0666;
// Names tried for the new file before giving up (each try that finds the name taken moves on).
constexpr int kTemporaryNameTries = 100;

// The seconds with exactly three decimals, in the C locale's notation whatever the process's
// locale; a value that is not finite counts as 0.
std::string SecondsText(double seconds) {
    if (!std::isfinite(seconds)) {
        seconds = 0;
    }
    // The widest finite double in fixed notation: a sign, 309 digits, the point and 3 decimals.
    char buffer[320];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, seconds,
                                       std::chars_format::fixed, kSecondsDecimals);
    if (written.ec != std::errc{}) {
        return "0.000";
    }
    return std::string(buffer, written.ptr);
}

// The double nearest to the three-decimal text, so JSON shows the same value as CSV.
double RoundedSeconds(double seconds) {
    const std::string text = SecondsText(seconds);
    double rounded = 0;
    std::from_chars(text.data(), text.data() + text.size(), rounded);
    return rounded;
}

// Agent text may hold terminal control sequences: in the CSV, as in the run's output, a control
// character other than the tab and the line ends that quoting keeps is written as \xNN.
constexpr std::string_view kKeptInCsv = "\t\r\n";

void AppendCsvField(std::string& out, std::string_view raw) {
    const std::string field = EscapeAgentText(raw, kKeptInCsv);
    if (field.find_first_of(",\"\r\n") == std::string::npos) {
        out += field;
        return;
    }
    out += '"';
    for (const char c : field) {
        if (c == '"') {
            out += '"';
        }
        out += c;
    }
    out += '"';
}

std::string Failure(const std::string& path, std::string_view reason) {
    std::string error = "report: " + path + ": ";
    error += reason;
    return error;
}

bool WriteAll(int descriptor, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// The file that is replaced: the one a link points to, so the link stays a link.
std::string ReplacedFile(const std::string& path) {
    std::string target = path;
    if (char* resolved = ::realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    return target;
}

// Creates a new, hidden file in the folder of target; its descriptor (name in temporary), or -1
// with errno set. O_EXCL with a name of its own rather than mkstemp: the kernel applies the
// umask, so no other thread's files are created while the umask is changed.
int CreateBeside(const std::string& target, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < kTemporaryNameTries; ++attempt) {
        temporary = folder + ".kalvoran-report-" + std::to_string(::getpid()) + "-" +
                    std::to_string(counter.fetch_add(1));
        int descriptor = -1;
        do {
            descriptor =
                ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kCreateMode);
        } while (descriptor < 0 && errno == EINTR);
        if (descriptor >= 0 || errno != EEXIST) {
            return descriptor;
        }
    }
    return -1;
}

}  // namespace

std::optional<ReportFormat> ReportFormatFor(std::string_view path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;
    }
    const std::string_view extension = name.substr(dot);
    if (EqualsIgnoringAsciiCase(extension, ".csv")) {
        return ReportFormat::Csv;
    }
    if (EqualsIgnoringAsciiCase(extension, ".json")) {
        return ReportFormat::Json;
    }
    return std::nullopt;
}

std::string FormatCsv(const std::vector<AgentRecord>& rows) {
    std::string out;
    for (const char* name : kFieldNames) {
        if (name != kFieldNames[0]) {
            out += ',';
        }
        out += name;
    }
    out += kCsvLineEnd;
    for (const AgentRecord& row : rows) {
        AppendCsvField(out, row.address);
        out += ',';
        AppendCsvField(out, row.label);
        out += ',';
        AppendCsvField(out, row.action);
        out += ',';
        out += std::to_string(row.result);
        out += ',';
        AppendCsvField(out, row.reason);
        out += ',';
        out += std::to_string(row.bytes);
        out += ',';
        out += SecondsText(row.seconds);
        out += ',';
        out += std::to_string(row.attempts);
        out += ',';
        AppendCsvField(out, row.status);
        out += kCsvLineEnd;
    }
    return out;
}

std::string FormatJson(const std::vector<AgentRecord>& rows) {
    // Built without a single call that throws: strings and numbers only ever go in, and dump
    // replaces invalid UTF-8 instead of throwing.
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const AgentRecord& row : rows) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        object[kFieldNames[0]] = row.address;
        object[kFieldNames[1]] = row.label;
        object[kFieldNames[2]] = row.action;
        object[kFieldNames[3]] = row.result;
        object[kFieldNames[4]] = row.reason;
        object[kFieldNames[5]] = row.bytes;
        object[kFieldNames[6]] = RoundedSeconds(row.seconds);
        object[kFieldNames[7]] = row.attempts;
        object[kFieldNames[8]] = row.status;
        array.push_back(std::move(object));
    }
    std::string text = array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    text += '\n';
    return text;
}

bool WriteReport(const std::string& path, const std::vector<AgentRecord>& rows,
                 std::string& error) {
    const std::optional<ReportFormat> format = ReportFormatFor(path);
    if (!format) {
        error = Failure(path, "not a .csv or .json file name");
        return false;
    }
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        error = Failure(path, "not a regular file");
        return false;
    }
    const std::string content = *format == ReportFormat::Csv ? FormatCsv(rows) : FormatJson(rows);
    const std::string target = ReplacedFile(path);
    std::string temporary;
    const int descriptor = CreateBeside(target, temporary);
    if (descriptor < 0) {
        error = Failure(path, std::strerror(errno));
        return false;
    }
    bool written = WriteAll(descriptor, content) && ::fsync(descriptor) == 0;
    int saved = errno;
    // Linux releases the descriptor even when close fails; a failure still means lost writes.
    if (::close(descriptor) != 0 && errno != EINTR && written) {
        written = false;
        saved = errno;
    }
    if (written && ::rename(temporary.c_str(), target.c_str()) != 0) {
        written = false;
        saved = errno;
    }
    if (!written) {
        ::unlink(temporary.c_str());
        error = Failure(path, std::strerror(saved));
        return false;
    }
    return true;
}

}  // namespace kalvoran::fleet

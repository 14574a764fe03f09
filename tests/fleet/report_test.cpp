#include "fleet/Report.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace kalvoran::fleet {
namespace {

const std::vector<std::string> kNames = {"address", "label",   "action",   "result", "reason",
                                         "bytes",   "seconds", "attempts", "status"};

using CsvRecords = std::vector<std::vector<std::string>>;

// A strict RFC 4180 reader: nullopt for a bare CR or LF outside quotes, a quote inside an
// unquoted field, anything but a comma or CR LF after a field, an unterminated quote.
std::optional<CsvRecords> ReadCsv(std::string_view text) {
    CsvRecords records;
    std::size_t i = 0;
    while (i < text.size()) {
        std::vector<std::string> record;
        for (;;) {
            std::string field;
            if (i < text.size() && text[i] == '"') {
                for (++i;; ++i) {
                    if (i >= text.size()) {
                        return std::nullopt;
                    }
                    if (text[i] == '"' && (i + 1 >= text.size() || text[i + 1] != '"')) {
                        ++i;
                        break;
                    }
                    i += text[i] == '"' ? 1 : 0;  // a doubled quote stands for one
                    field += text[i];
                }
            } else {
                for (; i < text.size() &&
                       std::string_view(",\r\n").find(text[i]) == std::string_view::npos;
                     ++i) {
                    if (text[i] == '"') {
                        return std::nullopt;
                    }
                    field += text[i];
                }
            }
            record.push_back(std::move(field));
            if (i < text.size() && text[i] == ',') {
                ++i;
            } else if (text.substr(i, 2) == "\r\n") {
                i += 2;
                break;
            } else {
                return std::nullopt;
            }
        }
        records.push_back(std::move(record));
    }
    return records;
}

// Records whose texts need every kind of CSV quoting, with their numbers as written by hand.
struct Case {
    AgentRecord record;
    std::vector<std::string> numbers;  // result, bytes, seconds, attempts
    double jsonSeconds;
};
const std::vector<Case> kCases = {
    {{"10.0.0.5", "rack 1", "send", 0, "", 1024, 1.5, 1, ""}, {"0", "1024", "1.500", "1"}, 1.5},
    {{"10.0.0.6", "a,b \"c\"", "eeprom", 3, "no answer,\r\nafter 5 tries", 9876543210123, 0.0004, 4,
      "line1\nline2\rline3"},
     {"3", "9876543210123", "0.000", "4"},
     0.0},
    {{"10.0.0.7", " spaced ", "status", 4, "\"", 0, 12.3456, 2, ",,"},
     {"4", "0", "12.346", "2"},
     12.346},
    {{"10.0.0.8", "cr\ronly", "configfile", 2, "", 7, std::nan(""), 0, "=1+2"},
     {"2", "7", "0.000", "0"},
     0.0},
    {{"10.0.0.9", "x", "send", 1, "", 1, 86400.0006, 9, "ok"},
     {"1", "1", "86400.001", "9"},
     86400.001},
};

std::vector<AgentRecord> Records() {
    std::vector<AgentRecord> rows;
    for (const Case& c : kCases) {
        rows.push_back(c.record);
    }
    return rows;
}

TEST(FormatCsv, RoundTripsThroughAnRfc4180Reader) {
    const std::string csv = FormatCsv(Records());
    const std::optional<CsvRecords> records = ReadCsv(csv);
    ASSERT_TRUE(records) << csv;
    ASSERT_EQ(records->size(), kCases.size() + 1);
    EXPECT_EQ(records->front(), kNames);
    for (std::size_t i = 0; i < kCases.size(); ++i) {
        const AgentRecord& r = kCases[i].record;
        const std::vector<std::string>& n = kCases[i].numbers;
        EXPECT_EQ((*records)[i + 1],
                  (std::vector<std::string>{r.address, r.label, r.action, n[0], r.reason, n[1],
                                            n[2], n[3], r.status}))
            << i;
    }
    // Plain fields and numbers go unquoted; an empty report is its header.
    EXPECT_NE(csv.find("\r\n10.0.0.5,rack 1,send,0,,1024,1.500,1,\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",\"a,b \"\"c\"\"\","), std::string::npos) << csv;
    EXPECT_EQ(ReadCsv(FormatCsv({})), CsvRecords{kNames});
}

// An agent's text may hold terminal sequences: the CSV shows them as the run's output does.
TEST(FormatCsv, WritesControlCharactersAsEscapes) {
    const std::string csv =
        FormatCsv({{"10.0.0.5", "bell\a", "status", 0, "", 0, 0, 1, "\x1b[31mred\x7f\ttab"}});
    EXPECT_EQ(csv.find('\x1b'), std::string::npos) << csv;
    EXPECT_NE(csv.find("bell\\x07,"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",\\x1b[31mred\\x7f\ttab\r\n"), std::string::npos) << csv;
}

TEST(FormatJson, ParsesBackWithTheSameKeysOrderAndTypes) {
    const std::string text = FormatJson(Records());
    const auto parsed = nlohmann::ordered_json::parse(text);
    ASSERT_TRUE(parsed.is_array());
    ASSERT_EQ(parsed.size(), kCases.size());
    EXPECT_EQ(text, parsed.dump(2) + "\n");  // 2-space indentation, newline at the end
    for (std::size_t i = 0; i < kCases.size(); ++i) {
        const auto& object = parsed[i];
        const AgentRecord& r = kCases[i].record;
        std::vector<std::string> keys;
        for (const auto& item : object.items()) {
            keys.push_back(item.key());
        }
        EXPECT_EQ(keys, kNames) << i;
        EXPECT_EQ(object.at("address"), r.address);
        EXPECT_EQ(object.at("label"), r.label);
        EXPECT_EQ(object.at("action"), r.action);
        EXPECT_EQ(object.at("reason"), r.reason);
        EXPECT_EQ(object.at("status"), r.status);
        ASSERT_TRUE(object.at("result").is_number_integer() &&
                    object.at("bytes").is_number_integer() &&
                    object.at("attempts").is_number_integer() && object.at("seconds").is_number())
            << object.dump();
        EXPECT_EQ(object.at("result").get<int>(), r.result);
        EXPECT_EQ(object.at("bytes").get<std::int64_t>(), r.bytes);
        EXPECT_EQ(object.at("attempts").get<int>(), r.attempts);
        EXPECT_DOUBLE_EQ(object.at("seconds").get<double>(), kCases[i].jsonSeconds) << i;
    }
    EXPECT_EQ(FormatJson({}), "[]\n");
}

TEST(FormatJson, ReplacesInvalidUtf8InsteadOfThrowing) {
    AgentRecord record{"10.0.0.5",
                       "\xC3",
                       "status",
                       0,
                       "S\xC3\xBC"
                       "d",
                       0,
                       0,
                       1,
                       "ok\xFF"
                       "end\x01"};
    std::string text;
    ASSERT_NO_THROW(text = FormatJson({record}));
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(text)) << text;
    const std::string replacement = "\xEF\xBF\xBD";  // U+FFFD
    EXPECT_EQ(parsed[0]["label"], replacement);
    EXPECT_EQ(parsed[0]["status"], "ok" + replacement + "end\x01");
    EXPECT_EQ(parsed[0]["reason"],
              "S\xC3\xBC"
              "d");
}

TEST(ReportFormatFor, GoesByTheLastComponentsExtension) {
    const struct {
        const char* path;
        std::optional<ReportFormat> format;
    } rows[] = {
        {"fleet.csv", ReportFormat::Csv},
        {"out/FLEET.Csv", ReportFormat::Csv},
        {"a.b/fleet.json", ReportFormat::Json},
        {"/tmp/x.JSON", ReportFormat::Json},
        {"fleet.json.bak", std::nullopt},
        {"fleet.csvx", std::nullopt},
        {"csv", std::nullopt},
        {".csv", std::nullopt},
        {"out/.json", std::nullopt},
        {"out.csv/", std::nullopt},
        {"out.csv/fleet", std::nullopt},
        {"fleet.", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ReportFormatFor(row.path), row.format) << row.path;
    }
}

TEST(WriteReport, ReplacesTheFileWithTheFormattersOutput) {
    testing::TempDir dir;
    const mode_t mask = ::umask(022);
    for (const char* name : {"fleet.csv", "fleet.JSON"}) {
        const std::string path = dir.File(name);
        testing::WriteFileBytes(path, std::string(100000, 'o'));  // longer than the report
        std::string error;
        ASSERT_TRUE(WriteReport(path, Records(), error)) << error;
        const bool csv = name == std::string("fleet.csv");
        EXPECT_EQ(testing::ReadFileBytes(path), csv ? FormatCsv(Records()) : FormatJson(Records()));
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0644u) << name;
    }
    ::umask(mask);
    // Through a link: the file it points to is replaced, the link stays.
    const std::string target = dir.File("real.json");
    const std::string link = dir.File("link.json");
    testing::WriteFileBytes(target, "old");
    std::filesystem::create_symlink(target, link);
    std::string error;
    ASSERT_TRUE(WriteReport(link, Records(), error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(testing::ReadFileBytes(target), FormatJson(Records()));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"fleet.JSON", "fleet.csv", "link.json",
                                               "real.json"}));  // no new file left behind
}

TEST(WriteReport, FailsWithAReasonAndLeavesThePathAsItWas) {
    testing::TempDir dir;
    std::filesystem::create_directory(dir.File("folder.csv"));
    const struct {
        std::string path;
        std::string reason;
    } rows[] = {
        {dir.File("missing/fleet.csv"), std::strerror(ENOENT)},
        {dir.File("fleet.txt"), "not a .csv or .json file name"},
        {dir.File("folder.csv"), "not a regular file"},
    };
    for (const auto& row : rows) {
        std::string error;
        EXPECT_FALSE(WriteReport(row.path, Records(), error)) << row.path;
        EXPECT_EQ(error, "report: " + row.path + ": " + row.reason);
    }
    // Nothing created, nothing left behind, the folder untouched.
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir.Path())) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"folder.csv"});
}

}  // namespace
}  // namespace kalvoran::fleet

// libFuzzer target over the profile reader and writer: the text of a profile anyone may edit
// (written on Windows or by hand: CR LF, byte order marks, odd sections, quotes, huge lines),
// read and rewritten as GetString, GetInt and WriteString do it.
//
// Input: the profile's text. Its last bytes (libFuzzer's data provider takes numbers from the
// end) choose the section, key and value looked up and written: names the program uses, their
// spellings in other cases and with blanks, names that must be refused, or a section and key
// that the text itself holds.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "FuzzTarget.h"
#include "files/AsciiText.h"
#include "files/IniProfile.h"

namespace {

using kalvoran::EditProfileText;
using kalvoran::EqualsIgnoringAsciiCase;
using kalvoran::ProfileIntOf;
using kalvoran::ProfileValue;
using kalvoran::TrimmedOf;

constexpr std::string_view kBlanks = " \t\r\v\f";

using kalvoran::fuzzing::Check;

constexpr std::array<std::string_view, 10> kSections = {
    "Settings", "settings", " SETTINGS\t", "Other", "[Settings", "", "Set]tings", "a=b", ";x", "é"};
constexpr std::array<std::string_view, 12> kKeys = {
    "type", "TYPE", " ip0 ", "ip3", "path", "uploadpath", "", "a=b", ";key", "#key", "[key", "k\r"};
constexpr std::array<std::string_view, 10> kValues = {
    "1", "C:\\agents\\app.bin", "\"quoted\"", "'single'",    " padded\t",
    "",  "two\nlines",          "\"",         "-2147483648", "\xEF\xBB\xBFname"};

std::string_view Unquoted(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// A section and key the text holds: the name of the section line before the chosen line and
// the part of that line before its '=' (both possibly odd; they are only queries).
void NamesFromText(std::string_view text, std::size_t pick, std::string& section,
                   std::string& key) {
    std::size_t line = 0;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        const std::string_view current = text.substr(0, end);
        const std::string_view trimmed = TrimmedOf(current, kBlanks);
        if (!trimmed.empty() && trimmed.front() == '[') {
            section = std::string(TrimmedOf(trimmed.substr(1, trimmed.find(']') - 1), kBlanks));
        } else if (line >= pick && current.find('=') != std::string_view::npos) {
            key = std::string(TrimmedOf(current.substr(0, current.find('=')), kBlanks));
            return;
        }
        ++line;
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
}

std::optional<std::string> Owned(std::optional<std::string_view> value) {
    return value ? std::optional<std::string>(std::string(*value)) : std::nullopt;
}

std::string Upper(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return upper;
}

bool SameEntry(std::string_view sectionA, std::string_view keyA, std::string_view sectionB,
               std::string_view keyB) {
    return EqualsIgnoringAsciiCase(TrimmedOf(sectionA, kBlanks), TrimmedOf(sectionB, kBlanks)) &&
           EqualsIgnoringAsciiCase(TrimmedOf(keyA, kBlanks), TrimmedOf(keyB, kBlanks));
}

void CheckRead(std::string_view text, std::string_view section, std::string_view key) {
    const auto value = ProfileValue(text, section, key);
    if (value) {
        // A view into the text, within one line.
        Check(value->empty() || (value->data() >= text.data() &&
                                 value->data() + value->size() <= text.data() + text.size()));
        Check(value->find('\n') == std::string_view::npos);
    }
    // The same text read again, and with the names in another case, gives the same value.
    Check(ProfileValue(text, section, key) == value);
    Check(ProfileValue(text, Upper(section), Upper(key)) == value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto sectionChoice = input.ConsumeIntegral<std::uint8_t>();
    const auto keyChoice = input.ConsumeIntegral<std::uint8_t>();
    const auto valueChoice = input.ConsumeIntegral<std::uint8_t>();
    const auto otherChoice = input.ConsumeIntegral<std::uint8_t>();
    const auto number = input.ConsumeIntegral<std::int32_t>();
    const std::string text = input.ConsumeRemainingBytesAsString();

    std::string section(kSections[sectionChoice % kSections.size()]);
    std::string key(kKeys[keyChoice % kKeys.size()]);
    if (sectionChoice >= 128) {
        NamesFromText(text, sectionChoice - 128u, section, key);
    }
    const std::string value(kValues[valueChoice % kValues.size()]);
    std::string otherSection(kSections[otherChoice % kSections.size()]);
    std::string otherKey(kKeys[(otherChoice / kSections.size()) % kKeys.size()]);
    if (otherChoice >= 128) {
        NamesFromText(text, otherChoice - 128u, otherSection, otherKey);
    }

    CheckRead(text, section, key);
    CheckRead(text, otherSection, otherKey);

    const auto edit = EditProfileText(text, section, key, value);
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
        TrimmedOf(section, kBlanks).empty() || TrimmedOf(key, kBlanks).empty()) {
        Check(!edit);
    }
    if (!edit) {
        return 0;
    }
    // What was written reads back (as GetString reads it), written again changes nothing, every
    // other entry reads as before, and the byte order mark stays.
    Check(ProfileValue(edit->text, section, key) == Unquoted(TrimmedOf(value, kBlanks)));
    const auto again = EditProfileText(edit->text, section, key, value);
    Check(again && !again->changed && again->text == edit->text);
    if (!SameEntry(section, key, otherSection, otherKey)) {
        Check(Owned(ProfileValue(edit->text, otherSection, otherKey)) ==
              Owned(ProfileValue(text, otherSection, otherKey)));
    }
    const std::string_view bom = "\xEF\xBB\xBF";
    Check(std::string_view(edit->text).starts_with(bom) == std::string_view(text).starts_with(bom));
    CheckRead(edit->text, section, key);

    // A number written reads back as that number.
    const auto written = EditProfileText(text, section, key, std::to_string(number));
    Check(written.has_value());
    const auto read = ProfileValue(written->text, section, key);
    Check(read && ProfileIntOf(*read) == number);
    return 0;
}

// Text an agent supplies (the message of its ERROR packet, its status file) made fit to show in
// the status log, on standard output and on standard error: a line feed in it would forge log
// lines of our own, and escape sequences would set the terminal's title and colours.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kalvoran {

// Each control character (a byte below 0x20, and DEL) becomes the four visible characters
// \xNN with two lowercase hex digits; every other byte, and the control characters in kept,
// stays as it came. Phrases are matched on the raw text, never on this one.
inline std::string EscapeAgentText(std::string_view text, std::string_view kept = {}) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    for (const char character : text) {
        const auto byte = static_cast<unsigned char>(character);
        if ((byte < 0x20 || byte == 0x7F) && kept.find(character) == std::string_view::npos) {
            shown += "\\x";
            shown += kHexDigits[byte >> 4];
            shown += kHexDigits[byte & 0x0F];
        } else {
            shown += character;
        }
    }
    return shown;
}

// The longest text EscapeAgentText makes of length characters.
inline constexpr std::size_t EscapedAgentTextLimit(std::size_t length) {
    return 4 * length;
}

}  // namespace kalvoran

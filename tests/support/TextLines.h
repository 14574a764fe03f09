// A program's output as its lines, without their line ends; bytes as the text they spell.
#pragma once

#include <cstdint>
#include <span>
#include <sstream>
#include <string>
#include <vector>

namespace kalvoran::testing {

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

inline std::string Text(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}

}  // namespace kalvoran::testing

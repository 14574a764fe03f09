#include "tftp/ConsoleReport.h"

#include <string>

#include "files/StreamWrite.h"

namespace kalvoran {

bool ConsoleReport::Write(std::FILE* stream, std::string_view text) const {
    if (!enabled || stream == nullptr) {
        return true;
    }
    std::string line;
    line.reserve(text.size() + 1);
    for (const char c : text) {
        if (c != '\r') {
            line += c;
        }
    }
    line += '\n';
    return WriteWithoutStalling(stream, line);
}

}  // namespace kalvoran

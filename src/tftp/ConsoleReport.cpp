#include "tftp/ConsoleReport.h"

namespace kalvoran {

void ConsoleReport::Write(std::FILE* stream, std::string_view text) const {
    if (!enabled || stream == nullptr) {
        return;
    }
    for (const char c : text) {
        if (c != '\r') {
            std::fputc(c, stream);
        }
    }
    std::fputc('\n', stream);
    std::fflush(stream);
}

}  // namespace kalvoran

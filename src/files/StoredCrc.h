// The CRC32 a file carries in its last four bytes, shown as eight uppercase hexadecimal digits
// in file order. Nothing is computed.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "files/LocalFile.h"

namespace kalvoran {

using CrcText = std::array<char, 9>;  // eight digits and the terminating zero

// Reads the stored value of the open file and leaves it positioned at its start. When the value
// cannot be had the text is "30000000"; a read error gives "00000000". silent suppresses the
// "unexpected EOF" box of a short read.
CrcText ReadStoredCrc(CLocalFile& file, bool silent);

namespace detail {

// The steps of ReadStoredCrc over any file with CLocalFile's Seek(origin, offset) and
// Read(buffer, count, silent), so that reads which stop after one to three bytes, which no
// regular file produces after a successful seek, can be exercised with a scripted file.
template <typename File>
CrcText ReadStoredCrcFrom(File& file, bool silent) {
    // 0x30 in the first byte marks a value that could not be had: the box then reads 30000000.
    constexpr unsigned char kUnavailable = 0x30;
    unsigned char stored[4] = {0, 0, 0, 0};
    if (file.Seek(0, 0) == -1 || file.Seek(2, 0) == -1 || file.Seek(2, -4) == -1) {
        stored[0] = kUnavailable;
        file.Seek(0, 0);
    } else {
        const std::int32_t got = file.Read(stored, 4, silent);
        if (got == -1) {
            // A failed read must not leave part of a value behind.
            stored[0] = stored[1] = stored[2] = stored[3] = 0;
        } else if (got == 0) {
            file.Seek(0, 0);
            stored[0] = kUnavailable;
        }
    }
    if (file.Seek(0, 0) == -1) {
        stored[0] = kUnavailable;
    }
    CrcText text{};
    std::snprintf(text.data(), text.size(), "%2.2X%2.2X%2.2X%2.2X", stored[0], stored[1], stored[2],
                  stored[3]);
    return text;
}

}  // namespace detail

}  // namespace kalvoran

// The CRC32 a file carries in its last four bytes, shown as eight uppercase hexadecimal digits
// in file order. Nothing is computed.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "files/LocalFile.h"

namespace kalvoran {

using CrcText = std::array<char, 9>;  // eight digits and the terminating zero

struct StoredCrc {
    CrcText text;
    std::string reason;  // the read's, e.g. "unexpected EOF"; empty when nothing went wrong
};

// Reads the stored value of the open file and leaves it positioned at its start. When the value
// cannot be had the text is "30000000"; a read error gives "00000000". The reason is that of the
// read of the last four bytes ("unexpected EOF" when it failed or came back short), and empty
// when the read succeeded or no read was made (no file held, a file shorter than four bytes or
// one that cannot seek).
StoredCrc ReadStoredCrc(CLocalFile& file);

namespace detail {

// The steps of ReadStoredCrc over any file with CLocalFile's Seek(origin, offset) and
// FileResult Read(buffer, count), so that reads which stop after one to three bytes, which no
// regular file produces after a successful seek, can be exercised with a scripted file.
template <typename File>
StoredCrc ReadStoredCrcFrom(File& file) {
    // 0x30 in the first byte marks a value that could not be had: the text then reads 30000000.
    constexpr unsigned char kUnavailable = 0x30;
    unsigned char stored[4] = {0, 0, 0, 0};
    std::string reason;
    if (file.Seek(0, 0) == -1 || file.Seek(2, 0) == -1 || file.Seek(2, -4) == -1) {
        stored[0] = kUnavailable;
        file.Seek(0, 0);
    } else {
        FileResult got = file.Read(stored, 4);
        reason = std::move(got.reason);
        if (got.count == -1) {
            // A failed read must not leave part of a value behind.
            stored[0] = stored[1] = stored[2] = stored[3] = 0;
        } else if (got.count == 0) {
            file.Seek(0, 0);
            stored[0] = kUnavailable;
        }
    }
    if (file.Seek(0, 0) == -1) {
        stored[0] = kUnavailable;
    }
    StoredCrc crc{{}, std::move(reason)};
    std::snprintf(crc.text.data(), crc.text.size(), "%2.2X%2.2X%2.2X%2.2X", stored[0], stored[1],
                  stored[2], stored[3]);
    return crc;
}

}  // namespace detail

}  // namespace kalvoran

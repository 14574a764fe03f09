// The CRC32 a file carries in its last four bytes, shown as eight uppercase hexadecimal digits
// in file order. Nothing is computed.
#pragma once

#include <array>

#include "files/LocalFile.h"

namespace kalvoran {

using CrcText = std::array<char, 9>;  // eight digits and the terminating zero

// Reads the stored value of the open file and leaves it positioned at its start. When the value
// cannot be had the text is "30000000"; a read error gives "00000000". silent suppresses the
// "unexpected EOF" box of a short read.
CrcText ReadStoredCrc(CLocalFile& file, bool silent);

}  // namespace kalvoran

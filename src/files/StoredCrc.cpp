#include "files/StoredCrc.h"

namespace kalvoran {

CrcText ReadStoredCrc(CLocalFile& file, bool silent) {
    return detail::ReadStoredCrcFrom(file, silent);
}

}  // namespace kalvoran

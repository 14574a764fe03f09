#include "files/StoredCrc.h"

namespace kalvoran {

StoredCrc ReadStoredCrc(CLocalFile& file) {
    return detail::ReadStoredCrcFrom(file);
}

}  // namespace kalvoran

#include "ui/TransferProgress.h"

#include <QLineEdit>
#include <QProgressBar>

#include <algorithm>

namespace kalvoran {

void TransferProgress::Set(int newMaximum, int position) {
    const bool step = newMaximum == maximum && position == value + 1;
    maximum = std::max(newMaximum, 0);
    value = std::clamp(position, 0, maximum);
    if (!step) {
        Show();
    }
}

void TransferProgress::ClearByteCount() {
    pendingByteCount.reset();
    byteCount.clear();
}

void TransferProgress::Show() {
    // An empty range would turn the bar into a busy animation: show it as an empty bar of 1.
    const int shownMaximum = std::max(maximum, 1);
    if (bar.maximum() != shownMaximum) {
        bar.setRange(0, shownMaximum);
    }
    bar.setValue(value);
    if (pendingByteCount.has_value()) {
        byteCount.setText(*pendingByteCount);
        pendingByteCount.reset();
    }
}

}  // namespace kalvoran

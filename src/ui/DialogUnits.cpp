#include "ui/DialogUnits.h"

#include <QString>

#include <cmath>

namespace kalvoran {

namespace {

int Scale(int units, int base, int divisor) {
    return static_cast<int>(std::lround(static_cast<double>(units) * base / divisor));
}

}  // namespace

DialogUnits::DialogUnits(const QFontMetrics& metrics) : baseY(metrics.height()) {
    static const QString letters =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    // The width of the 52 letters halved twice over, rounded: the templates' own average.
    baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
}

int DialogUnits::X(int units) const {
    return Scale(units, baseX, 4);
}

int DialogUnits::Y(int units) const {
    return Scale(units, baseY, 8);
}

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
    const int left = X(x);
    const int top = Y(y);
    return {left, top, X(x + width) - left, Y(y + height) - top};
}

}  // namespace kalvoran

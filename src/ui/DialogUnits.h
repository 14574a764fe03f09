// Converts positions of a dialog template, given in dialog units, into pixels for the dialog's
// own font: one horizontal unit is a quarter of the font's average character width (measured
// over the 52 letters, as dialog templates define it), one vertical unit an eighth of its
// height. A window laid out this way keeps its proportions, and its texts fit, with any font.
#pragma once

#include <QFontMetrics>
#include <QRect>

namespace kalvoran {

class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics);

    int X(int units) const;
    int Y(int units) const;
    // Edges are converted one by one, so neighbouring controls that share an edge in units
    // share it in pixels too.
    QRect Rect(int x, int y, int width, int height) const;

private:
    int baseX;  // average character width in pixels
    int baseY;  // character height in pixels
};

}  // namespace kalvoran

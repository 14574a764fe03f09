#include "ui/TitledFrame.h"

#include <QPainter>
#include <QStyle>

namespace kalvoran {

TitledFrame::TitledFrame(const QString& title, QWidget* parent) : QGroupBox(title, parent) {}

QRect TitledFrame::CaptionRect() const {
    if (title().isEmpty()) {
        return {};
    }
    const QFontMetrics metrics = fontMetrics();
    const int indent = metrics.averageCharWidth();
    const int gap = metrics.averageCharWidth() / 2;
    return {indent, 0, metrics.horizontalAdvance(title()) + 2 * gap, metrics.height()};
}

void TitledFrame::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect caption = CaptionRect();
    // The top line at half the caption's height; the frame is cut where the caption stands.
    // An etched line: a dark one with a light one a pixel to its lower right.
    const qreal top = fontMetrics().height() / 2.0;
    const QRectF frame = QRectF(rect()).adjusted(0.5, top + 0.5, -1.5, -1.5);
    painter.setClipRegion(QRegion(rect()).subtracted(QRegion(caption)));
    const QColor window = palette().color(QPalette::Window);
    painter.setPen(window.lighter(115));
    painter.drawRoundedRect(frame.translated(1, 1), 2, 2);
    painter.setPen(window.darker(140));
    painter.drawRoundedRect(frame, 2, 2);
    painter.setClipping(false);
    if (!caption.isEmpty()) {
        style()->drawItemText(&painter, caption, Qt::AlignCenter | Qt::TextShowMnemonic, palette(),
                              isEnabled(), title(), QPalette::WindowText);
    }
}

}  // namespace kalvoran

// A group box drawn as a titled frame: the frame's top line runs through the middle of the
// caption, which interrupts it, whatever the widget style (some styles put the caption above the
// frame, where it reads as a loose label). An untitled frame keeps the same top line, so framed
// controls sit alike in titled and untitled frames.
#pragma once

#include <QGroupBox>

namespace kalvoran {

class TitledFrame final : public QGroupBox {
    Q_OBJECT

public:
    TitledFrame(const QString& title, QWidget* parent);

    // Where the caption is drawn, in the frame's own coordinates (empty for an untitled frame).
    QRect CaptionRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace kalvoran

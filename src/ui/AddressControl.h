// The IPv4 address control: four fields of 0 to 255 in one framed box, separated by dots, with
// the behaviour operators know from such controls: typing a dot moves to the next field, so does
// a third digit; Backspace at the start of a field and the arrow keys at its ends cross into
// the neighbouring field; a value above 255 becomes 255; a blank field reads 0; pasting a dotted
// address such as "10.1.2.3" fills all four fields. Tab enters at the first field and leaves the
// control.
#pragma once

#include <QFrame>

#include <array>

#include "net/Addressing.h"

class QLabel;
class QLineEdit;

namespace kalvoran {

class AddressControl final : public QFrame {
    Q_OBJECT

public:
    explicit AddressControl(QWidget* parent);

    net::Octets Octets() const;
    void SetOctets(const net::Octets& octets);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    static constexpr std::size_t kFieldCount = 4;

    void OnFieldEdited(std::size_t index, const QString& text);
    // Distributes a pasted dotted address over the fields, starting at the first one for a
    // whole address and at the pasted-into field otherwise.
    void FillFromDottedText(std::size_t index, const QString& text);
    bool HandleKey(std::size_t index, int key);
    void MoveTo(std::size_t index, bool atEnd);

    std::array<QLineEdit*, kFieldCount> fields{};
    std::array<QLabel*, kFieldCount - 1> dots{};
};

}  // namespace kalvoran

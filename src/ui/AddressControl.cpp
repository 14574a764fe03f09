#include "ui/AddressControl.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStyleOptionFrame>

#include <algorithm>

namespace kalvoran {

namespace {

constexpr int kMaxDigits = 3;
constexpr int kMaxOctet = 255;

// The digits of a field's text, at most three, as a value no larger than 255.
QString CleanOctetText(const QString& text) {
    QString digits;
    for (QChar c : text) {
        if (c.isDigit() && digits.size() < kMaxDigits) {
            digits.append(c);
        }
    }
    if (digits.toInt() > kMaxOctet) {
        return QString::number(kMaxOctet);
    }
    return digits;
}

}  // namespace

AddressControl::AddressControl(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("agentAddress"));
    setAttribute(Qt::WA_InputMethodEnabled, false);
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("agentAddress%1").arg(i));
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setInputMethodHints(Qt::ImhDigitsOnly);
        // Tab enters the control at its first field and then leaves it.
        field->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this,
                [this, i](const QString& text) { OnFieldEdited(i, text); });
        fields[i] = field;
        if (i + 1 < kFieldCount) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            dot->setForegroundRole(QPalette::Text);
            dots[i] = dot;
        }
    }
    setFocusProxy(fields[0]);
}

net::Octets AddressControl::Octets() const {
    net::Octets octets{};
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        // A blank field reads 0; a field never holds more than 255.
        octets[i] = static_cast<std::uint8_t>(std::clamp(fields[i]->text().toInt(), 0, kMaxOctet));
    }
    return octets;
}

void AddressControl::SetOctets(const net::Octets& octets) {
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        fields[i]->setText(QString::number(octets[i]));
    }
}

void AddressControl::OnFieldEdited(std::size_t index, const QString& text) {
    if (text.contains(QLatin1Char('.'))) {
        FillFromDottedText(index, text);
        return;
    }
    QLineEdit* field = fields[index];
    const QString clean = CleanOctetText(text);
    if (clean != text) {
        const int cursor = std::min(field->cursorPosition(), static_cast<int>(clean.size()));
        field->setText(clean);
        field->setCursorPosition(cursor);
    }
    const bool full = clean.size() == kMaxDigits && field->cursorPosition() == kMaxDigits;
    if (full && index + 1 < kFieldCount) {
        MoveTo(index + 1, false);
    }
}

void AddressControl::FillFromDottedText(std::size_t index, const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    std::size_t at = parts.size() == kFieldCount ? 0 : index;
    for (const QString& part : parts) {
        if (at >= kFieldCount) {
            break;
        }
        fields[at++]->setText(CleanOctetText(part));
    }
    MoveTo(std::min(at, kFieldCount) - 1, true);
}

bool AddressControl::eventFilter(QObject* watched, QEvent* event) {
    const auto found = std::find(fields.begin(), fields.end(), watched);
    if (found == fields.end()) {
        return QFrame::eventFilter(watched, event);
    }
    if (event->type() == QEvent::FocusIn || event->type() == QEvent::FocusOut) {
        update();  // the frame shows whether the control has the focus
    } else if (event->type() == QEvent::KeyPress) {
        const auto index = static_cast<std::size_t>(found - fields.begin());
        return HandleKey(index, static_cast<QKeyEvent*>(event)->key());
    }
    return QFrame::eventFilter(watched, event);
}

bool AddressControl::HandleKey(std::size_t index, int key) {
    QLineEdit* field = fields[index];
    const bool atStart = field->cursorPosition() == 0 && !field->hasSelectedText();
    const bool atEnd = field->cursorPosition() == field->text().size() && !field->hasSelectedText();
    const bool hasNext = index + 1 < kFieldCount;
    switch (key) {
        case Qt::Key_Period:
            // A dot in an empty field is ignored, as a second dot typed by mistake would be.
            if (hasNext && !field->text().isEmpty()) {
                MoveTo(index + 1, false);
            }
            return true;
        case Qt::Key_Backspace:
        case Qt::Key_Left:
            if (atStart && index > 0) {
                MoveTo(index - 1, true);
                return true;
            }
            return false;
        case Qt::Key_Right:
            if (atEnd && hasNext) {
                MoveTo(index + 1, false);
                return true;
            }
            return false;
        default:
            return false;
    }
}

void AddressControl::MoveTo(std::size_t index, bool atEnd) {
    QLineEdit* field = fields[index];
    field->setFocus(Qt::OtherFocusReason);
    if (atEnd) {
        field->deselect();
        field->end(false);
    } else {
        field->selectAll();
    }
}

void AddressControl::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QStyleOptionFrame option;
    option.initFrom(this);
    option.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this);
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    const bool focused =
        std::any_of(fields.begin(), fields.end(), [](QLineEdit* f) { return f->hasFocus(); });
    if (focused) {
        option.state |= QStyle::State_HasFocus;
    }
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
}

void AddressControl::resizeEvent(QResizeEvent* event) {
    QFrame::resizeEvent(event);
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 1;
    const QRect inner = rect().adjusted(frame, frame, -frame, -frame);
    const int dotWidth = fontMetrics().horizontalAdvance(QLatin1Char('.')) + 2;
    const int fieldWidth = (inner.width() - 3 * dotWidth) / 4;
    int x = inner.left();
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        fields[i]->setGeometry(x, inner.top(), fieldWidth, inner.height());
        x += fieldWidth;
        if (i + 1 < kFieldCount) {
            dots[i]->setGeometry(x, inner.top(), dotWidth, inner.height());
            x += dotWidth;
        }
    }
}

}  // namespace kalvoran

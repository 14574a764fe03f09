#include "ui/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include <algorithm>

#include "ui/ClientResources.h"
#include "ui/DialogUnits.h"

namespace kalvoran {

namespace {

// The program icon's side: 32 pixels with the template's font, in proportion with any other.
constexpr int kIconUnitsHigh = 20;
// The template's margin to the right of the OK button and below the texts.
constexpr int kMargin = 7;

}  // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("aboutBox"));
    setWindowTitle(QStringLiteral("About Kalvoran TFTP Client Utility"));
    setWindowIcon(ProgramIcon());
    const DialogUnits units(fontMetrics());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    const int iconSide = units.Y(kIconUnitsHigh);
    icon->setPixmap(ProgramIcon().pixmap(iconSide, iconSide));
    icon->setGeometry(units.X(11), units.Y(17), iconSide, iconSide);

    int textRight = 0;
    const auto Text = [&](const char* name, const char* text, int y) {
        auto* label = new QLabel(QString::fromLatin1(text), this);
        label->setObjectName(QString::fromLatin1(name));
        label->setGeometry(units.X(39), units.Y(y), label->sizeHint().width(), units.Y(8));
        textRight = std::max(textRight, label->geometry().right() + 1);
    };
    Text("aboutProduct", "Kalvoran TFTP Client Utility ", 13);
    Text("aboutRevision", "Revision " KALVORAN_VERSION "Eng", 23);
    Text("aboutCompany", "Kalvoran", 34);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    // Where the texts need more room than the template gives them, the button moves right.
    const int okLeft = std::max(units.X(230), textRight + units.X(kMargin));
    ok->setGeometry(okLeft, units.Y(7), units.X(50), units.Y(14));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(std::max(units.X(287), ok->geometry().right() + 1 + units.X(kMargin)),
                 units.Y(54));
}

CAboutDlg* CAboutDlg::Open(QWidget* owner) {
    auto* about = new CAboutDlg(owner);
    about->setAttribute(Qt::WA_DeleteOnClose);
    about->open();
    return about;
}

}  // namespace kalvoran

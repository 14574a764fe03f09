#include "ui/HelpWindow.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "ui/AboutDlg.h"
#include "ui/ClientResources.h"
#include "ui/DialogUnits.h"

namespace kalvoran {

HelpWindow::HelpWindow(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("helpWindow"));
    setWindowTitle(QStringLiteral("Kalvoran TFTP Client Utility Help"));
    setWindowIcon(ProgramIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);

    auto* text = new QTextBrowser(this);
    text->setObjectName(QStringLiteral("helpText"));
    text->setOpenExternalLinks(false);
    text->setHtml(HelpText());

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* about =
        buttons->addButton(QStringLiteral("&About..."), QDialogButtonBox::ActionRole);
    about->setObjectName(QStringLiteral("about"));
    QPushButton* close = buttons->addButton(QDialogButtonBox::Close);
    close->setObjectName(QStringLiteral("closeHelp"));
    connect(about, &QPushButton::clicked, this, [this] { CAboutDlg::Open(this); });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addWidget(buttons);

    // About 110 characters wide and 40 lines high, in the window's own font.
    const DialogUnits units(fontMetrics());
    resize(units.X(4 * 110), units.Y(8 * 40));
}

}  // namespace kalvoran

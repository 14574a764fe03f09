// The about box: the program icon, its name, revision and maker, and an OK button that closes
// it. It is modal to the window that opens it but does not block the caller, so a transfer that
// is under way keeps running while it is shown.
#pragma once

#include <QDialog>

namespace kalvoran {

class CAboutDlg final : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* parent);

    // Opens an about box over owner; it deletes itself when closed.
    static CAboutDlg* Open(QWidget* owner);
};

}  // namespace kalvoran

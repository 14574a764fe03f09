// The help window that HELP opens: the program's own help text (res/client/help.html) and an
// About button. It stays open beside the main window, which remains usable.
#pragma once

#include <QDialog>

namespace kalvoran {

class HelpWindow final : public QDialog {
    Q_OBJECT

public:
    explicit HelpWindow(QWidget* parent);
};

}  // namespace kalvoran

// The main dialog's controls, built from its template: each control's kind, object name, text
// and position in dialog units, converted with the dialog font's own metrics.
#pragma once

#include <QString>

class QComboBox;
class QDialog;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace kalvoran {

class AddressControl;

// The controls the window renders into and forwards from.
struct ClientControls {
    QPlainTextEdit* statusLog = nullptr;
    QProgressBar* progressBar = nullptr;
    QLineEdit* downloadName = nullptr;
    QPushButton* browseDownload = nullptr;
    QComboBox* typeList = nullptr;
    QLineEdit* uploadName = nullptr;
    QPushButton* browseUpload = nullptr;
    AddressControl* address = nullptr;
    QLineEdit* localHostName = nullptr;
    QLineEdit* localAddress = nullptr;
    QPushButton* ping = nullptr;
    QLineEdit* crc32 = nullptr;
    QLineEdit* fileLength = nullptr;
    QLineEdit* bytesSentRecvd = nullptr;
    QLabel* picture = nullptr;
    QPushButton* downloadToDevice = nullptr;
    QPushButton* uploadFromDevice = nullptr;
    QPushButton* help = nullptr;
    QPushButton* close = nullptr;
};

// Creates the controls as children of dialog and gives the dialog a fixed size that holds them
// with the template's margin on every side.
ClientControls BuildClientControls(QDialog& dialog);

}  // namespace kalvoran

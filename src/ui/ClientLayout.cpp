#include "ui/ClientLayout.h"

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

#include "ui/AddressControl.h"
#include "ui/ClientResources.h"
#include "ui/DialogUnits.h"
#include "ui/TitledFrame.h"

namespace kalvoran {

namespace {

enum class Kind {
    Frame,
    Caption,
    StatusLog,
    ProgressBar,
    Edit,
    ReadOnly,
    TypeList,
    Address,
    Button,
    Picture,
    Company
};

// One control of the template. The id is the control's number in the template (0 for the
// controls that have none); the object name stands for it in the window.
struct TemplateControl {
    int id;
    Kind kind;
    const char* name;
    const char* text;
    int x, y, width, height;
};

// The template's positions, in dialog units. Where they would let a Browse button overlap its
// field or leave the File Settings column two units out of line with the TFTP Settings column
// below it, the columns are aligned and the buttons sit a unit below their fields; the company
// line stands under the picture, level with the button row, rather than in a band of its own.
// clang-format off
constexpr TemplateControl kMainTemplate[] = {
//    id     kind               object name                text                   x    y    w    h
    {1008,  Kind::Frame,       "informationFrame",        "Information",         7,  13, 265, 200},
    {1002,  Kind::StatusLog,   "statusLog",               "",                   13,  21, 252, 186},
    {0,     Kind::Frame,       "progressFrame",           "",                    7, 213, 265,  29},
    {1011,  Kind::ProgressBar, "progressBar",             "",                   16, 222, 249,  14},
    {1010,  Kind::Frame,       "fileSettingsFrame",       "File Settings",     276,  13, 156, 135},
    {0,     Kind::Caption,     "downloadFileNameCaption", "Download File Name", 284, 24,  66,   8},
    {1024,  Kind::Edit,        "downloadFileName",        "",                  283,  34, 144,  14},
    {1041,  Kind::Button,      "browseDownload",          "Browse...",         377,  49,  50,  14},
    {0,     Kind::Caption,     "transferTypeCaption",     "File Transfer Type", 284, 58,  58,   8},
    {1005,  Kind::TypeList,    "transferType",            "",                  283,  68, 144,  14},
    {0,     Kind::Caption,     "uploadFileNameCaption",   "Upload File Name",  284,  85,  57,   8},
    {1044,  Kind::Edit,        "uploadFileName",          "",                  283,  95, 144,  14},
    {1045,  Kind::Button,      "browseUpload",            "Browse",            377, 110,  50,  14},
    {1019,  Kind::Frame,       "tftpSettingsFrame",       "TFTP Settings",     276, 150, 156,  91},
    {0,     Kind::Caption,     "agentAddressCaption",     "IP Address",        284, 165,  35,   8},
    {1029,  Kind::Address,     "agentAddress",            "",                  284, 174, 100,  15},
    {0,     Kind::Caption,     "localIpCaption",          "Local IP",          284, 192,  27,   8},
    {1033,  Kind::ReadOnly,    "localHostName",           "",                  284, 202,  72,  14},
    {1034,  Kind::ReadOnly,    "localAddress",            "",                  361, 202,  66,  14},
    {1035,  Kind::Button,      "ping",                    "PING",              301, 222, 108,  14},
    {0,     Kind::Frame,       "statsFrame",              "Stats",             437,  13, 145, 135},
    {0,     Kind::Caption,     "crc32Caption",            "CRC32",             444,  24,  24,   8},
    {1015,  Kind::ReadOnly,    "crc32",                   "",                  443,  34, 133,  14},
    {0,     Kind::Caption,     "fileLengthCaption",       "File Length",       444,  58,  36,   8},
    {1036,  Kind::ReadOnly,    "fileLength",              "",                  443,  68, 133,  14},
    {0,     Kind::Caption,     "bytesSentRecvdCaption",   "Bytes Sent/Recvd",  444,  85,  60,   8},
    {1037,  Kind::ReadOnly,    "bytesSentRecvd",          "",                  443,  95, 133,  14},
    {0,     Kind::Picture,     "picture",                 "",                  437, 154, 145, 111},
    {0,     Kind::Frame,       "buttonFrame",             "",                    7, 241, 425,  34},
    {1006,  Kind::Button,      "downloadToDevice",        "DOWNLOAD TO DEVICE", 21, 252, 107,  14},
    {1043,  Kind::Button,      "uploadFromDevice",        "UPLOAD FROM DEVICE", 163, 252, 108, 14},
    {57670, Kind::Button,      "help",                    "&HELP",             302, 252,  50,  14},
    {2,     Kind::Button,      "close",                   "CLOSE",             360, 252,  50,  14},
    {0,     Kind::Company,     "company",                 "Kalvoran",          496, 267,  86,   8},
};
// clang-format on

// The template's margin between the window's edge and the frames, on the left. The window keeps
// it on every side: the controls move up by the difference to the 13 units the template leaves
// above its first frames.
constexpr int kMargin = 7;
constexpr int kTemplateTop = 13;

QWidget* CreateControl(Kind kind, const QString& text, QDialog& dialog) {
    switch (kind) {
        case Kind::Frame:
            return new TitledFrame(text, &dialog);
        case Kind::Caption:
            return new QLabel(text, &dialog);
        case Kind::Company: {
            auto* company = new QLabel(text, &dialog);
            company->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
            company->setEnabled(false);  // greyed
            return company;
        }
        case Kind::StatusLog: {
            auto* log = new QPlainTextEdit(&dialog);
            log->setReadOnly(true);
            // Read-only for the operator, who may still select and copy; no caret blinks in it.
            log->setTextInteractionFlags(Qt::TextSelectableByMouse);
            // Nobody can undo what the program writes: the log keeps no undo history, which
            // would otherwise grow with every line for as long as the window is open.
            log->setUndoRedoEnabled(false);
            log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
            log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            return log;
        }
        case Kind::ProgressBar: {
            auto* bar = new QProgressBar(&dialog);
            bar->setTextVisible(false);
            bar->setRange(0, 100);
            bar->setValue(0);
            // The empty bar is a trough, not a white box that reads as a text field.
            QPalette palette = bar->palette();
            palette.setColor(QPalette::Base, palette.color(QPalette::Window).darker(112));
            bar->setPalette(palette);
            return bar;
        }
        case Kind::Edit: {
            auto* edit = new QLineEdit(&dialog);
            edit->setAlignment(Qt::AlignRight);
            return edit;
        }
        case Kind::ReadOnly: {
            auto* field = new QLineEdit(&dialog);
            field->setReadOnly(true);
            return field;
        }
        case Kind::TypeList:
            return new QComboBox(&dialog);
        case Kind::Address:
            return new AddressControl(&dialog);
        case Kind::Button: {
            auto* button = new QPushButton(text, &dialog);
            // No button is the default one, and none becomes it with the focus: Enter never
            // starts or ends anything.
            button->setAutoDefault(false);
            button->setDefault(false);
            return button;
        }
        case Kind::Picture: {
            auto* picture = new QLabel(&dialog);
            picture->setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
            return picture;
        }
    }
    return nullptr;
}

void FitText(QWidget* widget, Kind kind) {
    // A caption keeps its place and grows to its text where the desktop's font is wider.
    if (kind == Kind::Caption) {
        widget->resize(std::max(widget->width(), widget->sizeHint().width()), widget->height());
    }
}

template <typename Widget>
Widget* Child(QDialog& dialog, const char* name) {
    return dialog.findChild<Widget*>(QString::fromLatin1(name), Qt::FindDirectChildrenOnly);
}

ClientControls FindControls(QDialog& dialog) {
    ClientControls c;
    c.statusLog = Child<QPlainTextEdit>(dialog, "statusLog");
    c.progressBar = Child<QProgressBar>(dialog, "progressBar");
    c.downloadName = Child<QLineEdit>(dialog, "downloadFileName");
    c.browseDownload = Child<QPushButton>(dialog, "browseDownload");
    c.typeList = Child<QComboBox>(dialog, "transferType");
    c.uploadName = Child<QLineEdit>(dialog, "uploadFileName");
    c.browseUpload = Child<QPushButton>(dialog, "browseUpload");
    c.address = Child<AddressControl>(dialog, "agentAddress");
    c.localHostName = Child<QLineEdit>(dialog, "localHostName");
    c.localAddress = Child<QLineEdit>(dialog, "localAddress");
    c.ping = Child<QPushButton>(dialog, "ping");
    c.crc32 = Child<QLineEdit>(dialog, "crc32");
    c.fileLength = Child<QLineEdit>(dialog, "fileLength");
    c.bytesSentRecvd = Child<QLineEdit>(dialog, "bytesSentRecvd");
    c.picture = Child<QLabel>(dialog, "picture");
    c.downloadToDevice = Child<QPushButton>(dialog, "downloadToDevice");
    c.uploadFromDevice = Child<QPushButton>(dialog, "uploadFromDevice");
    c.help = Child<QPushButton>(dialog, "help");
    c.close = Child<QPushButton>(dialog, "close");
    return c;
}

}  // namespace

ClientControls BuildClientControls(QDialog& dialog) {
    const DialogUnits units(dialog.fontMetrics());
    QRect extent;
    for (const TemplateControl& control : kMainTemplate) {
        QWidget* widget = CreateControl(control.kind, QString::fromLatin1(control.text), dialog);
        widget->setObjectName(QString::fromLatin1(control.name));
        if (control.id != 0) {
            widget->setProperty("controlId", control.id);
        }
        widget->setGeometry(units.Rect(control.x, control.y - (kTemplateTop - kMargin),
                                       control.width, control.height));
        FitText(widget, control.kind);
        extent |= widget->geometry();
    }
    dialog.setFixedSize(extent.right() + 1 + units.X(kMargin),
                        extent.bottom() + 1 + units.Y(kMargin));

    ClientControls controls = FindControls(dialog);
    controls.picture->setPixmap(
        WindowPicture(controls.picture->contentsRect().size(), dialog.devicePixelRatioF()));
    return controls;
}

}  // namespace kalvoran

#include "ui/TftpClientDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace kalvoran {

namespace {

// Places a widget by dialog units: one horizontal unit is a quarter of the font's average
// character width, one vertical unit an eighth of its height, so the layout keeps its
// proportions and its texts fit whatever font the desktop uses.
class DialogUnits {
public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : unitX(metrics.averageCharWidth() / 4.0), unitY(metrics.height() / 8.0) {}

    QRect Rect(int x, int y, int width, int height) const {
        return {static_cast<int>(x * unitX), static_cast<int>(y * unitY),
                static_cast<int>(width * unitX), static_cast<int>(height * unitY)};
    }

    template <typename Widget>
    Widget* Place(Widget* widget, int x, int y, int width, int height) const {
        widget->setGeometry(Rect(x, y, width, height));
        return widget;
    }

private:
    double unitX;
    double unitY;
};

QString FromText(std::string_view text) {
    return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string ToText(const QString& text) {
    return text.toLocal8Bit().toStdString();
}

CTftpClientDlg::ErrorBoxRecorder& Recorder() {
    static CTftpClientDlg::ErrorBoxRecorder recorder;
    return recorder;
}

QLineEdit* ReadOnlyField(QWidget* parent) {
    auto* field = new QLineEdit(parent);
    field->setReadOnly(true);
    return field;
}

}  // namespace

CTftpClientDlg::CTftpClientDlg(std::string profilePath, QWidget* parent)
    : QDialog(parent), core(*this, clock, std::move(profilePath)) {
    setWindowTitle(QStringLiteral("Kalvoran TFTP Client Utility 1.1.2Eng"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    BuildControls();
    setFixedSize(DialogUnits(fontMetrics()).Rect(0, 0, 595, 307).size());
}

void CTftpClientDlg::BuildControls() {
    const DialogUnits units(fontMetrics());
    const auto Place = [&units](auto* widget, int x, int y, int width, int height) {
        return units.Place(widget, x, y, width, height);
    };
    // A caption keeps its place and grows to its text where the desktop's font is wider.
    const auto Caption = [this, &units](const char* text, int x, int y, int width, int height) {
        auto* label = units.Place(new QLabel(QString::fromLatin1(text), this), x, y, width, height);
        label->resize(std::max(label->width(), label->sizeHint().width()), label->height());
        return label;
    };
    auto* information = Place(new QGroupBox(QStringLiteral("Information"), this), 7, 13, 265, 200);
    information->lower();
    statusLog = Place(new QPlainTextEdit(this), 13, 21, 252, 186);
    statusLog->setObjectName(QStringLiteral("statusLog"));
    // Read-only for the operator, but with a caret and a selection: new lines go in there.
    statusLog->setReadOnly(true);
    statusLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    statusLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    statusLog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    statusLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    Place(new QGroupBox(this), 7, 213, 265, 29)->lower();
    progressBar = Place(new QProgressBar(this), 16, 222, 249, 14);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setTextVisible(false);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);

    Place(new QGroupBox(QStringLiteral("File Settings"), this), 278, 13, 155, 135)->lower();
    Caption("Download File Name", 284, 24, 66, 8);
    downloadName = Place(new QLineEdit(this), 283, 34, 144, 14);
    downloadName->setObjectName(QStringLiteral("downloadFileName"));
    downloadName->setAlignment(Qt::AlignRight);
    browseDownload = Place(new QPushButton(QStringLiteral("Browse..."), this), 378, 47, 50, 14);
    browseDownload->setObjectName(QStringLiteral("browseDownload"));
    Caption("File Transfer Type", 284, 58, 58, 8);
    typeList = Place(new QComboBox(this), 283, 68, 145, 14);
    typeList->setObjectName(QStringLiteral("transferType"));
    Caption("Upload File Name", 284, 85, 57, 8);
    uploadName = Place(new QLineEdit(this), 284, 95, 143, 14);
    uploadName->setObjectName(QStringLiteral("uploadFileName"));
    uploadName->setAlignment(Qt::AlignRight);
    browseUpload = Place(new QPushButton(QStringLiteral("Browse"), this), 378, 109, 50, 14);
    browseUpload->setObjectName(QStringLiteral("browseUpload"));

    Place(new QGroupBox(QStringLiteral("TFTP Settings"), this), 276, 150, 156, 91)->lower();
    Caption("IP Address", 284, 165, 35, 8);
    addressControl = Place(new QWidget(this), 284, 174, 100, 15);
    addressControl->setObjectName(QStringLiteral("agentAddress"));
    const int fieldWidth = addressControl->width() / 4;
    for (std::size_t i = 0; i < addressFields.size(); ++i) {
        auto* field = new QLineEdit(addressControl);
        field->setObjectName(QStringLiteral("agentAddress%1").arg(i));
        field->setValidator(new QIntValidator(0, 255, field));
        field->setMaxLength(3);
        field->setAlignment(Qt::AlignCenter);
        const int x = static_cast<int>(i) * fieldWidth;
        field->setGeometry(x, 0, fieldWidth - (i + 1 < addressFields.size() ? 4 : 0),
                           addressControl->height());
        if (i + 1 < addressFields.size()) {
            auto* dot = new QLabel(QStringLiteral("."), addressControl);
            dot->setGeometry(x + fieldWidth - 4, 0, 4, addressControl->height());
        }
        addressFields[i] = field;
    }
    Caption("Local IP", 285, 192, 27, 8);
    localHostName = Place(ReadOnlyField(this), 284, 202, 72, 14);
    localHostName->setObjectName(QStringLiteral("localHostName"));
    localAddress = Place(ReadOnlyField(this), 361, 202, 66, 14);
    localAddress->setObjectName(QStringLiteral("localAddress"));
    pingButton = Place(new QPushButton(QStringLiteral("PING"), this), 301, 222, 108, 14);
    pingButton->setObjectName(QStringLiteral("ping"));

    Place(new QGroupBox(QStringLiteral("Stats"), this), 437, 13, 145, 135)->lower();
    Caption("CRC32", 444, 24, 24, 8);
    crcField = Place(ReadOnlyField(this), 443, 34, 134, 14);
    crcField->setObjectName(QStringLiteral("crc32"));
    Caption("File Length", 444, 58, 36, 8);
    lengthField = Place(ReadOnlyField(this), 443, 68, 133, 14);
    lengthField->setObjectName(QStringLiteral("fileLength"));
    Caption("Bytes Sent/Recvd", 444, 85, 60, 8);
    bytesField = Place(ReadOnlyField(this), 443, 95, 133, 14);
    bytesField->setObjectName(QStringLiteral("bytesSentRecvd"));

    Place(new QGroupBox(this), 7, 241, 425, 34)->lower();
    downloadButton =
        Place(new QPushButton(QStringLiteral("DOWNLOAD TO DEVICE"), this), 21, 252, 107, 14);
    downloadButton->setObjectName(QStringLiteral("downloadToDevice"));
    uploadButton =
        Place(new QPushButton(QStringLiteral("UPLOAD FROM DEVICE"), this), 163, 252, 108, 14);
    uploadButton->setObjectName(QStringLiteral("uploadFromDevice"));
    helpButton = Place(new QPushButton(QStringLiteral("&HELP"), this), 302, 252, 50, 14);
    helpButton->setObjectName(QStringLiteral("help"));
    closeButton = Place(new QPushButton(QStringLiteral("CLOSE"), this), 360, 252, 50, 14);
    closeButton->setObjectName(QStringLiteral("close"));
    // No button is the default button: Enter must not start anything.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // The message map: each control and the core operation it runs.
    connect(typeList, &QComboBox::currentIndexChanged, this,
            [this](int) { core.OnTransferTypeChanged(); });
    connect(downloadButton, &QPushButton::clicked, this, [this] { core.OnDownloadToDevice(); });
    connect(uploadButton, &QPushButton::clicked, this, [this] { core.OnUploadFromDevice(); });
    connect(pingButton, &QPushButton::clicked, this, [this] { core.OnPing(); });
    connect(closeButton, &QPushButton::clicked, this, &CTftpClientDlg::reject);
}

bool CTftpClientDlg::Initialise(const CommandLine& commandLine) {
    const bool start = core.InitDialog(commandLine);
    if (exitCode.has_value()) {
        return false;
    }
    if (start) {
        // Like a posted message: the send starts once the event loop runs.
        QTimer::singleShot(0, this, &CTftpClientDlg::OnStartMessage);
    }
    return true;
}

void CTftpClientDlg::OnStartMessage() {
    // Whatever the type and whether or not its button is enabled: the command line asked for a
    // send, and the session's end ends the program with its result.
    core.OnDownloadToDevice();
}

void CTftpClientDlg::AppendStatusLine(std::string_view text) {
    statusLog->ensureCursorVisible();
    QTextCursor cursor = statusLog->textCursor();
    cursor.insertText(FromText(text) + QLatin1Char('\n'));
    statusLog->setTextCursor(cursor);
    statusLog->ensureCursorVisible();
}

void CTftpClientDlg::ClearStatusLog() {
    statusLog->clear();
}

void CTftpClientDlg::SetErrorBoxRecorder(ErrorBoxRecorder recorder) {
    Recorder() = std::move(recorder);
}

void CTftpClientDlg::ShowErrorBox(std::string_view text) {
    if (Recorder()) {
        Recorder()(FromText(text));
        return;
    }
    QMessageBox::critical(this, QStringLiteral("Error"), FromText(text));
}

void CTftpClientDlg::SetProgressRange(std::uint16_t maximum) {
    progressBar->setRange(0, maximum);
    progressValue = progressBar->value();
}

void CTftpClientDlg::SetProgressStep(int step) {
    progressStep = step;
}

void CTftpClientDlg::SetProgressPos(int position) {
    progressValue = std::clamp(position, progressBar->minimum(), progressBar->maximum());
    ShowProgress();
}

void CTftpClientDlg::StepProgress() {
    const int next = progressValue + progressStep;
    progressValue = next > progressBar->maximum() ? progressBar->minimum() : next;
}

void CTftpClientDlg::ShowProgress() {
    progressBar->setValue(progressValue);
    if (pendingByteCount.has_value()) {
        bytesField->setText(*pendingByteCount);
        pendingByteCount.reset();
    }
}

void CTftpClientDlg::SetStatField(StatField field, std::string_view text) {
    if (field == StatField::BytesSentRecvd && !text.empty()) {
        // Counted every 16 blocks during a send: shown when the window is next brought up to
        // date, like the bar.
        pendingByteCount = FromText(text);
        return;
    }
    QLineEdit* box = field == StatField::Crc32        ? crcField
                     : field == StatField::FileLength ? lengthField
                                                      : bytesField;
    if (box == bytesField) {
        pendingByteCount.reset();
    }
    box->setText(FromText(text));
}

void CTftpClientDlg::SetTransferTypeList(std::span<const std::string_view> entries) {
    const QSignalBlocker quiet(typeList);
    typeList->clear();
    for (std::string_view entry : entries) {
        typeList->addItem(FromText(entry));
    }
}

int CTftpClientDlg::TransferTypeSelection() const {
    return typeList->currentIndex();
}

void CTftpClientDlg::SelectTransferType(int index) {
    const QSignalBlocker quiet(typeList);
    typeList->setCurrentIndex(index);
}

std::string CTftpClientDlg::DownloadFileName() const {
    return ToText(downloadName->text());
}
std::string CTftpClientDlg::UploadFileName() const {
    return ToText(uploadName->text());
}

void CTftpClientDlg::SetDownloadFileName(std::string_view path) {
    downloadName->setText(FromText(path));
}

void CTftpClientDlg::SetUploadFileName(std::string_view path) {
    uploadName->setText(FromText(path));
}

net::Octets CTftpClientDlg::AddressFields() const {
    net::Octets octets{};
    for (std::size_t i = 0; i < octets.size(); ++i) {
        const int value = addressFields[i]->text().toInt();  // blank reads as 0
        octets[i] = static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
    }
    return octets;
}

void CTftpClientDlg::SetAddressFields(const net::Octets& octets) {
    for (std::size_t i = 0; i < octets.size(); ++i) {
        addressFields[i]->setText(QString::number(octets[i]));
    }
}

void CTftpClientDlg::SetLocalHost(std::string_view name, std::string_view address) {
    localHostName->setText(FromText(name));
    localAddress->setText(FromText(address));
}

QWidget* CTftpClientDlg::ControlWidget(DialogControl control) const {
    switch (control) {
        case DialogControl::DownloadFileName:
            return downloadName;
        case DialogControl::BrowseDownload:
            return browseDownload;
        case DialogControl::DownloadToDevice:
            return downloadButton;
        case DialogControl::UploadFileName:
            return uploadName;
        case DialogControl::BrowseUpload:
            return browseUpload;
        case DialogControl::UploadFromDevice:
            return uploadButton;
        case DialogControl::AgentAddress:
            return addressControl;
        case DialogControl::LocalHostName:
            return localHostName;
        case DialogControl::LocalAddress:
            return localAddress;
        case DialogControl::Ping:
            return pingButton;
        case DialogControl::TransferTypeList:
            return typeList;
    }
    return nullptr;
}

void CTftpClientDlg::EnableControl(DialogControl control, bool enabled) {
    if (QWidget* widget = ControlWidget(control)) {
        widget->setEnabled(enabled);
    }
}

void CTftpClientDlg::MinimizeWindow() {
    setWindowState(windowState() | Qt::WindowMinimized);
}

bool CTftpClientDlg::RefreshedRecently() {
    if (sinceRefresh.isValid() && sinceRefresh.elapsed() < kRefreshMilliseconds) {
        return true;
    }
    sinceRefresh.start();
    return false;
}

void CTftpClientDlg::PumpMessages() {
    // A session pumps after every packet; the operator cannot tell 50 pumps a second from
    // thousands, and the transfer runs faster for it. A close request can only arrive inside
    // a pump, so none is missed.
    if (closeDeferred) {
        closeDeferred = false;
        close();
    }
    if (RefreshedRecently()) {
        return;
    }
    ShowProgress();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void CTftpClientDlg::KeepWindowAlive() {
    if (keepingAlive || RefreshedRecently()) {
        return;
    }
    keepingAlive = true;
    ShowProgress();
    // Clicks and keys stay queued for the next PumpMessages, where the session expects them.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    keepingAlive = false;
}

void CTftpClientDlg::RequestExit(int code) {
    if (exitCode.has_value()) {
        return;  // the first request carries the result
    }
    exitCode = code;
    hide();
    QCoreApplication::exit(code);
}

void CTftpClientDlg::reject() {
    core.OnCancel();
}

void CTftpClientDlg::closeEvent(QCloseEvent* event) {
    if (keepingAlive && !exitCode.has_value()) {
        // The window's close box is the operator's input too: it runs at the next pump.
        closeDeferred = true;
        event->ignore();
        return;
    }
    if (!exitCode.has_value()) {
        core.OnClose();
    }
    event->accept();
}

}  // namespace kalvoran

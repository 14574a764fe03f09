#include "ui/TftpClientDlg.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSocketNotifier>
#include <QTimer>

#include <utility>

#include "ui/AboutDlg.h"
#include "ui/AddressControl.h"
#include "ui/ClientResources.h"
#include "ui/FileBrowser.h"
#include "ui/HelpWindow.h"

namespace kalvoran {

namespace {

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

// The about item of the window's menu.
constexpr char kAboutItemText[] = "&About Kalvoran TFTP Client Utility ...";

}  // namespace

CTftpClientDlg::CTftpClientDlg(std::string profilePath, QWidget* parent)
    : QDialog(parent),
      core(*this, clock, std::move(profilePath)),
      controls(BuildClientControls(*this)),
      progress(*controls.progressBar, *controls.bytesSentRecvd) {
    setWindowTitle(QStringLiteral("Kalvoran TFTP Client Utility " KALVORAN_VERSION "Eng"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(ProgramIcon());
    ConnectMessageMap();
}

void CTftpClientDlg::ConnectMessageMap() {
    // The message map: each control's event and the operation it runs. The window's close box
    // runs OnClose (closeEvent), Esc the close operation (reject), the start message of a
    // command-line run OnStartMessage (Initialise); Enter runs nothing (keyPressEvent).
    // clang-format off
    using D = CTftpClientDlg;
    const ClientControls& c = controls;
    connect(c.downloadToDevice, &QPushButton::clicked,           this, &D::OnDownloadToDevice);
    connect(c.ping,             &QPushButton::clicked,           this, &D::OnPing);
    connect(c.browseDownload,   &QPushButton::clicked,           this, &D::OnBrowseDownloadFile);
    connect(c.typeList,         &QComboBox::currentIndexChanged, this, &D::OnTransferTypeChanged);
    connect(c.uploadFromDevice, &QPushButton::clicked,           this, &D::OnUploadFromDevice);
    connect(c.browseUpload,     &QPushButton::clicked,           this, &D::OnBrowseUploadFile);
    connect(c.close,            &QPushButton::clicked,           this, &D::reject);
    connect(c.help,             &QPushButton::clicked,           this, &D::OnHelp);
    // clang-format on
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

void CTftpClientDlg::WatchStopSignals(StopSignals& caught) {
    stopSignals = &caught;
    if (caught.Fd() >= 0) {
        auto* notifier = new QSocketNotifier(caught.Fd(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &CTftpClientDlg::OnStopSignalReadable);
    }
}

void CTftpClientDlg::OnStopSignalReadable() {
    if (keepingAlive) {
        return;  // like the close box: the session takes it at its next pump
    }
    stopSignals->DrainWakeUps();
    TakeStopSignal();
}

void CTftpClientDlg::TakeStopSignal() {
    if (stopSignals != nullptr && stopSignals->Take() && !exitCode.has_value()) {
        core.OnStopSignal();
    }
}

void CTftpClientDlg::OnBrowseDownloadFile() {
    BrowseForFile(this, DownloadBrowseRequest(controls.downloadName->text()),
                  [this](const QString& path) { controls.downloadName->setText(path); });
}

void CTftpClientDlg::OnBrowseUploadFile() {
    BrowseForFile(this, UploadBrowseRequest(controls.uploadName->text()),
                  [this](const QString& path) { controls.uploadName->setText(path); });
}

void CTftpClientDlg::OnHelp() {
    if (helpWindow == nullptr) {
        helpWindow = new HelpWindow(this);
    }
    helpWindow->show();
    helpWindow->raise();
    helpWindow->activateWindow();
}

void CTftpClientDlg::OnAbout() {
    CAboutDlg::Open(this);
}

void CTftpClientDlg::contextMenuEvent(QContextMenuEvent* event) {
    // The desktop's own window menu cannot be extended here, so the window offers its about item
    // on a right click on its background.
    auto* menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->addAction(QString::fromLatin1(kAboutItemText), this, &CTftpClientDlg::OnAbout);
    menu->popup(event->globalPos());
}

void CTftpClientDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        // Enter ends nothing: ending the program without the close operation would skip the
        // settings, and in a flash the agent must not be left behind.
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CTftpClientDlg::AppendStatusLine(std::string_view text) {
    // Always at the end, whatever the operator has clicked or selected in the log meanwhile,
    // and the log scrolls to the new line.
    QTextCursor end(controls.statusLog->document());
    end.movePosition(QTextCursor::End);
    end.insertText(FromText(text) + QLatin1Char('\n'));
    QScrollBar* scrollBar = controls.statusLog->verticalScrollBar();
    scrollBar->setValue(scrollBar->maximum());
}

void CTftpClientDlg::ClearStatusLog() {
    controls.statusLog->clear();
}

void CTftpClientDlg::SetErrorBoxRecorder(ErrorBoxRecorder recorder) {
    Recorder() = std::move(recorder);
}

void CTftpClientDlg::ShowErrorBox(std::string_view text, std::string_view detail) {
    if (Recorder()) {
        Recorder()(detail.empty() ? FromText(text)
                                  : FromText(text) + QLatin1Char('\n') + FromText(detail));
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), FromText(text), QMessageBox::Ok,
                    this);
    if (!detail.empty()) {
        box.setInformativeText(FromText(detail));
    }
    box.exec();
}

void CTftpClientDlg::SetProgress(std::uint16_t maximum, int position) {
    progress.Set(maximum, position);
}

void CTftpClientDlg::SetStatField(StatField field, std::string_view text) {
    switch (field) {
        case StatField::Crc32:
            controls.crc32->setText(FromText(text));
            return;
        case StatField::FileLength:
            controls.fileLength->setText(FromText(text));
            return;
        case StatField::BytesSentRecvd:
            if (text.empty()) {
                progress.ClearByteCount();
            } else {
                // Counted every 16 blocks during a send: shown when the window is next brought
                // up to date, like the bar.
                progress.SetByteCount(FromText(text));
            }
            return;
    }
}

void CTftpClientDlg::SetTransferTypeList(std::span<const std::string_view> entries) {
    const QSignalBlocker quiet(controls.typeList);
    controls.typeList->clear();
    for (std::string_view entry : entries) {
        controls.typeList->addItem(FromText(entry));
    }
    controls.typeList->setMaxVisibleItems(static_cast<int>(entries.size()));
}

int CTftpClientDlg::TransferTypeSelection() const {
    return controls.typeList->currentIndex();
}

void CTftpClientDlg::SelectTransferType(int index) {
    const QSignalBlocker quiet(controls.typeList);
    controls.typeList->setCurrentIndex(index);
}

std::string CTftpClientDlg::DownloadFileName() const {
    return ToText(controls.downloadName->text());
}

std::string CTftpClientDlg::UploadFileName() const {
    return ToText(controls.uploadName->text());
}

void CTftpClientDlg::SetDownloadFileName(std::string_view path) {
    controls.downloadName->setText(FromText(path));
}

void CTftpClientDlg::SetUploadFileName(std::string_view path) {
    controls.uploadName->setText(FromText(path));
}

net::Octets CTftpClientDlg::AddressFields() const {
    return controls.address->Octets();
}

void CTftpClientDlg::SetAddressFields(const net::Octets& octets) {
    controls.address->SetOctets(octets);
}

void CTftpClientDlg::SetLocalHost(std::string_view name, std::string_view address) {
    controls.localHostName->setText(FromText(name));
    controls.localAddress->setText(FromText(address));
}

QWidget* CTftpClientDlg::ControlWidget(DialogControl control) const {
    switch (control) {
        case DialogControl::DownloadFileName:
            return controls.downloadName;
        case DialogControl::BrowseDownload:
            return controls.browseDownload;
        case DialogControl::DownloadToDevice:
            return controls.downloadToDevice;
        case DialogControl::UploadFileName:
            return controls.uploadName;
        case DialogControl::BrowseUpload:
            return controls.browseUpload;
        case DialogControl::UploadFromDevice:
            return controls.uploadFromDevice;
        case DialogControl::AgentAddress:
            return controls.address;
        case DialogControl::LocalHostName:
            return controls.localHostName;
        case DialogControl::LocalAddress:
            return controls.localAddress;
        case DialogControl::Ping:
            return controls.ping;
        case DialogControl::TransferTypeList:
            return controls.typeList;
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
    // The notifier may not have been dispatched yet (no events are processed between two
    // refreshes): the signal is taken here all the same.
    TakeStopSignal();
    if (RefreshedRecently()) {
        return;
    }
    progress.Show();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void CTftpClientDlg::KeepWindowAlive() {
    if (keepingAlive || RefreshedRecently()) {
        return;
    }
    keepingAlive = true;
    progress.Show();
    // Clicks and keys stay queued for the next PumpMessages, where the session expects them.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    keepingAlive = false;
}

void CTftpClientDlg::RequestExit(int code) {
    if (exitCode.has_value()) {
        return;  // the first request carries the result
    }
    exitCode = code;
    if (helpWindow != nullptr) {
        helpWindow->close();
    }
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

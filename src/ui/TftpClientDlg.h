// The client's one window. It lays out the controls of its template, forwards the operator's
// actions to the core (TftpClient) and renders what the core tells it through DialogView.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QPointer>

#include <functional>
#include <optional>

#include "tftp/Clock.h"
#include "tftp/DialogView.h"
#include "tftp/StopSignals.h"
#include "tftp/TftpClient.h"
#include "ui/ClientLayout.h"
#include "ui/TransferProgress.h"

namespace kalvoran {

class HelpWindow;

class CTftpClientDlg final : public QDialog, public DialogView {
    Q_OBJECT

public:
    explicit CTftpClientDlg(std::string profilePath, QWidget* parent = nullptr);

    // Start-up with the program's command line. Returns false when the run already ended
    // (usage error); ExitRequested then holds the exit code.
    bool Initialise(const CommandLine& commandLine);
    std::optional<int> ExitRequested() const { return exitCode; }

    TftpClient& Core() { return core; }

    // From now on a stop signal ends the run as the close operation does: at once when the
    // window waits for the operator, at the session's next pump during a transfer.
    void WatchStopSignals(StopSignals& caught);

    // Tests take the error boxes instead of the operator: while a recorder is set, a box's text
    // goes to it and no modal box is shown.
    using ErrorBoxRecorder = std::function<void(const QString&)>;
    static void SetErrorBoxRecorder(ErrorBoxRecorder recorder);

    // DialogView
    void AppendStatusLine(std::string_view text) override;
    void ClearStatusLog() override;
    void ShowErrorBox(std::string_view text, std::string_view detail = {}) override;
    void SetProgress(std::uint16_t maximum, int position) override;
    void SetStatField(StatField field, std::string_view text) override;
    void SetTransferTypeList(std::span<const std::string_view> entries) override;
    int TransferTypeSelection() const override;
    void SelectTransferType(int index) override;
    std::string DownloadFileName() const override;
    std::string UploadFileName() const override;
    void SetDownloadFileName(std::string_view path) override;
    void SetUploadFileName(std::string_view path) override;
    net::Octets AddressFields() const override;
    void SetAddressFields(const net::Octets& octets) override;
    void SetLocalHost(std::string_view name, std::string_view address) override;
    void EnableControl(DialogControl control, bool enabled) override;
    void MinimizeWindow() override;
    void PumpMessages() override;
    void KeepWindowAlive() override;
    void RequestExit(int code) override;

protected:
    void reject() override;  // CLOSE and Esc: the close operation
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void ConnectMessageMap();

    // The operations of the message map.
    void OnDownloadToDevice() { core.OnDownloadToDevice(); }
    void OnUploadFromDevice() { core.OnUploadFromDevice(); }
    void OnPing() { core.OnPing(); }
    void OnTransferTypeChanged() { core.OnTransferTypeChanged(); }
    void OnBrowseDownloadFile();
    void OnBrowseUploadFile();
    void OnHelp();
    void OnAbout();
    void OnStartMessage();
    void OnStopSignalReadable();
    // Takes a stop signal that was caught, if any: the core's stop operation.
    void TakeStopSignal();

    QWidget* ControlWidget(DialogControl control) const;
    // True when the window was brought up to date less than kRefreshMilliseconds ago.
    bool RefreshedRecently();

    SystemClock clock;
    TftpClient core;
    ClientControls controls;
    TransferProgress progress;
    QPointer<HelpWindow> helpWindow;
    std::optional<int> exitCode;
    // The window is brought up to date at most this often while a session waits or sends.
    static constexpr int kRefreshMilliseconds = 20;
    QElapsedTimer sinceRefresh;
    // Set while KeepWindowAlive runs: a close request then waits for the next pump.
    bool keepingAlive = false;
    bool closeDeferred = false;
    StopSignals* stopSignals = nullptr;
};

}  // namespace kalvoran

// The client's one window. It lays out the controls, forwards the operator's actions to the
// core (TftpClient) and renders what the core tells it through DialogView.
#pragma once

#include <QDialog>
#include <QElapsedTimer>

#include <array>
#include <functional>
#include <optional>

#include "tftp/Clock.h"
#include "tftp/DialogView.h"
#include "tftp/TftpClient.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace kalvoran {

class CTftpClientDlg final : public QDialog, public DialogView {
    Q_OBJECT

public:
    explicit CTftpClientDlg(std::string profilePath, QWidget* parent = nullptr);

    // Start-up with the program's command line. Returns false when the run already ended
    // (usage error); ExitRequested then holds the exit code.
    bool Initialise(const CommandLine& commandLine);
    std::optional<int> ExitRequested() const { return exitCode; }

    TftpClient& Core() { return core; }

    // Tests take the error boxes instead of the operator: while a recorder is set, a box's text
    // goes to it and no modal box is shown.
    using ErrorBoxRecorder = std::function<void(const QString&)>;
    static void SetErrorBoxRecorder(ErrorBoxRecorder recorder);

    // DialogView
    void AppendStatusLine(std::string_view text) override;
    void ClearStatusLog() override;
    void ShowErrorBox(std::string_view text) override;
    void SetProgressRange(std::uint16_t maximum) override;
    void SetProgressStep(int step) override;
    void SetProgressPos(int position) override;
    void StepProgress() override;
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

private:
    void BuildControls();
    void OnStartMessage();
    QWidget* ControlWidget(DialogControl control) const;
    // Brings the bar and the Bytes Sent/Recvd box to what the core last told them.
    void ShowProgress();
    // True when the window was brought up to date less than kRefreshMilliseconds ago.
    bool RefreshedRecently();

    SystemClock clock;
    TftpClient core;
    std::optional<int> exitCode;
    int progressStep = 10;
    // The bar's position as the core steps it: a transfer steps it once per block, and the bar
    // is brought up to date only when the window is (a repaint per block would cost more than
    // the block).
    int progressValue = 0;
    std::optional<QString> pendingByteCount;
    // The window is brought up to date at most this often while a session waits or sends.
    static constexpr int kRefreshMilliseconds = 20;
    QElapsedTimer sinceRefresh;
    // Set while KeepWindowAlive runs: a close request then waits for the next pump.
    bool keepingAlive = false;
    bool closeDeferred = false;

    QPlainTextEdit* statusLog = nullptr;
    QProgressBar* progressBar = nullptr;
    QLineEdit* downloadName = nullptr;
    QPushButton* browseDownload = nullptr;
    QComboBox* typeList = nullptr;
    QLineEdit* uploadName = nullptr;
    QPushButton* browseUpload = nullptr;
    std::array<QLineEdit*, 4> addressFields{};
    QWidget* addressControl = nullptr;
    QLineEdit* localHostName = nullptr;
    QLineEdit* localAddress = nullptr;
    QPushButton* pingButton = nullptr;
    QLineEdit* crcField = nullptr;
    QLineEdit* lengthField = nullptr;
    QLineEdit* bytesField = nullptr;
    QPushButton* downloadButton = nullptr;
    QPushButton* uploadButton = nullptr;
    QPushButton* helpButton = nullptr;
    QPushButton* closeButton = nullptr;
};

}  // namespace kalvoran

#include "tftp/TftpClient.h"

#include <utility>

namespace kalvoran {

namespace {

constexpr std::string_view kWindowClosedText = "Cancelled: the window was closed.";

}  // namespace

class TftpClient::BusyControls {
public:
    explicit BusyControls(TftpClient& owner) : client(owner) { client.SetBusy(true); }
    ~BusyControls() { client.SetBusy(false); }
    BusyControls(const BusyControls&) = delete;
    BusyControls& operator=(const BusyControls&) = delete;

private:
    TftpClient& client;
};

TftpClient::TftpClient(DialogView& dialogView, Clock& clock, std::string profilePath, ClientIo io)
    : view(dialogView),
      profile(std::move(profilePath)),
      console(io.log, io.failures),
      observer(dialogView),
      display(observer, console),
      link(display, clock, LinkSetup{true, io.socket, io.pingModule}) {}

Transfer TftpClient::CurrentTransfer(StartButton side) const {
    if (commandLineTransfer.has_value()) {
        return *commandLineTransfer;
    }
    Transfer transfer{
        view.TransferTypeSelection(),
        side == StartButton::DownloadToDevice ? view.DownloadFileName() : view.UploadFileName(),
        view.AddressFields(),
        {}};
    transfer.options.asked = asked;
    return transfer;
}

ClientState TftpClient::State() const {
    return ClientState{link.ResultCode(), link.FailureFlag(), transferType, commandLineFlag};
}

void TftpClient::OnPing() {
    if (busyDepth > 0) {
        return;  // PING pressed again while a session or its own echoes run
    }
    const Transfer transfer = CurrentTransfer(StartButton::DownloadToDevice);
    Starting(transfer);
    const BusyControls busy(*this);
    link.Ping(transfer);
    transferType = link.TransferType();
}

void TftpClient::OnDownloadToDevice() {
    const Transfer transfer = CurrentTransfer(StartButton::DownloadToDevice);
    Starting(transfer);
    {
        const BusyControls busy(*this);
        if (commandLineFlag) {
            link.Send(transfer);  // a script's run asks the agent nothing more
        } else {
            link.SendThenPoll(transfer);
        }
    }
    Ended();
}

void TftpClient::OnUploadFromDevice() {
    const Transfer transfer = CurrentTransfer(StartButton::UploadFromDevice);
    Starting(transfer);
    {
        const BusyControls busy(*this);
        if (transfer.type != CREATE_CONFIG_FILE) {
            link.Fetch(transfer);
        } else {
            // The request file goes from the download side; the configuration comes into the
            // upload side's file.
            link.ConfigFile(CurrentTransfer(StartButton::DownloadToDevice), transfer);
        }
    }
    Ended();
}

void TftpClient::Starting(const Transfer& transfer) {
    agentOctets = transfer.agent;
}

void TftpClient::Ended() {
    transferType = link.TransferType();
    if (commandLineFlag && !link.Cancelled()) {
        // The end of a command-line run: the file, the socket and the ping module released, and
        // the program ends with the result code.
        display.ResetProgress();
        link.Release();
        view.RequestExit(link.ResultCode());
    }
}

void TftpClient::SetBusy(bool busy) {
    busyDepth += busy ? 1 : -1;
    if (busy && busyDepth == 1) {
        for (DialogControl control :
             {DialogControl::DownloadToDevice, DialogControl::UploadFromDevice, DialogControl::Ping,
              DialogControl::TransferTypeList}) {
            view.EnableControl(control, false);
        }
    } else if (!busy && busyDepth == 0) {
        view.EnableControl(DialogControl::Ping, true);
        view.EnableControl(DialogControl::TransferTypeList, true);
        ApplyFileControls(view.TransferTypeSelection());
    }
}

void TftpClient::OnCancel() {
    CloseOperation(kWindowClosedText, !commandLineFlag);
}

void TftpClient::OnStopSignal() {
    // A run ended from outside never reports a success.
    link.SetResultCode(kResultRefused);
    CloseOperation(kStopSignalText, !commandLineFlag);
}

void TftpClient::CloseOperation(std::string_view failureLine, bool saveSettings) {
    link.Close();
    // A command-line run keeps away from the operator's profile: the next interactive start
    // finds the operator's own settings, not the script's.
    if (saveSettings) {
        SaveSettings();
    }
    // A command-line run that is closed before it ends never reports a success: its session
    // (and the result code it may have reset) is abandoned.
    if (commandLineFlag) {
        display.FailureLine(failureLine);
        link.SetResultCode(kResultRefused);
    }
    view.RequestExit(link.ResultCode());
}

void TftpClient::OnClose() {
    OnCancel();
    if (!commandLineFlag) {
        SaveSettings();
    }
}

}  // namespace kalvoran

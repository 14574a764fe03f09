#include "tftp/TftpClient.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace kalvoran {

namespace {

constexpr std::string_view kConnectionClosed = "Connection closed";
constexpr std::string_view kSpacerLine = "  ";
constexpr std::string_view kWindowClosedText = "Cancelled: the window was closed.";
constexpr std::string_view kStopSignalText = "Cancelled: the run was stopped by a signal.";

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

TftpClient::TftpClient(DialogView& dialogView, Clock& systemClock, std::string profilePath,
                       ClientIo io)
    : view(dialogView),
      clock(systemClock),
      profile(std::move(profilePath)),
      console(io.log, io.failures),
      display(dialogView, console),
      udpSocket(io.socket != nullptr ? *io.socket : ownSocket),
      channel(udpSocket, systemClock, display),
      context{channel, pingService, systemClock, display, localFile},
      sendSession(context),
      fetchSession(context),
      statusReport(context) {
    pingService.SetWaitCallback(&WaitHooks::KeepWindowAliveOf, static_cast<WaitHooks*>(&display));
}

Transfer TftpClient::CurrentTransfer(StartButton side) const {
    if (commandLineTransfer.has_value()) {
        return *commandLineTransfer;
    }
    return Transfer{
        view.TransferTypeSelection(),
        side == StartButton::DownloadToDevice ? view.DownloadFileName() : view.UploadFileName(),
        view.AddressFields(),
        {}};
}

void TftpClient::ResolveAgentAddress(const Transfer& transfer) {
    failureFlag = false;
    transferType = TransferTypeInfoOf(transfer.type) != nullptr ? transfer.type : 0;
    agentAddressValid = true;
    channel.agentOctets = transfer.agent;
    const net::Octets& octets = channel.agentOctets;
    std::snprintf(channel.agentText.data(), channel.agentText.size(), "%d.%d.%d.%d", octets[0],
                  octets[1], octets[2], octets[3]);
    if (std::string_view(channel.agentText.data()) == "0.0.0.0") {
        display.ShowErrorBox("Not a valid IP address");
        agentAddressValid = false;
        return;
    }
    const std::uint32_t address = net::LookupIPv4(channel.agentText.data());
    if (address == 0) {
        display.ShowErrorBox("gethostbyname: failed");
        agentAddressValid = false;
        return;
    }
    pingService.SetTarget(address);
    channel.serverAddress = {address, static_cast<std::uint16_t>(tftp::kTftpPort)};
}

bool TftpClient::OpenAgentSocket(const Transfer& transfer) {
    ResolveAgentAddress(transfer);
    if (!agentAddressValid) {
        return AbandonForNetworkFailure();
    }
    if (udpSocket.IsOpen()) {
        return true;  // the socket of an earlier session serves again
    }
    socketOpen = true;
    if (!udpSocket.Open()) {
        display.ShowErrorBox("failed to create socket");
        return AbandonForNetworkFailure();
    }
    return true;
}

bool TftpClient::AbandonForNetworkFailure() {
    failureFlag = true;
    resultCode = kResultNetworkFailure;
    if (commandLineFlag && windUpAfterSession) {
        WindUpCommandLine();
    }
    return false;
}

void TftpClient::OnPing() {
    if (busyDepth > 0) {
        return;  // PING pressed again while a session or its own echoes run
    }
    ResolveAgentAddress();
    if (!agentAddressValid) {
        return;
    }
    const BusyControls busy(*this);
    constexpr int kAttempts = 3;
    constexpr int kPauseMilliseconds = 500;
    constexpr std::time_t kAttemptLimitSeconds = 10;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::time_t start = clock.Now();
        Pause(kPauseMilliseconds);
        pingService.Ping();
        if (clock.Now() - start >= kAttemptLimitSeconds) {
            std::snprintf(pingService.resultText, sizeof pingService.resultText, "%s",
                          "Unable to contact server.");
            display.AppendStatusLine(pingService.resultText);
            failureFlag = true;
            ReportCompletion(true);
            break;
        }
        display.AppendStatusLine(pingService.resultText);
        display.PumpMessages();
        if (display.CancelRequested()) {
            break;
        }
    }
}

void TftpClient::OnDownloadToDevice() {
    const BusyControls busy(*this);
    SendThenPoll(CurrentTransfer(StartButton::DownloadToDevice), !commandLineFlag);
}

int TftpClient::SendThenPoll(const Transfer& transfer, bool pollStatus) {
    if (!OpenAgentSocket(transfer)) {
        return StatusReport::kNotFinal;
    }
    SendToAgent(transfer);
    // A close during the send (its late wait included) ends the chain: no status poll follows.
    if (resultCode != kResultSuccess || display.CancelRequested()) {
        return StatusReport::kNotFinal;
    }
    const int status = pollStatus ? PollAgentStatus(transfer) : StatusReport::kNotFinal;
    display.SetProgressPos(0);
    resultCode = kResultSuccess;
    return status;
}

void TftpClient::OnUploadFromDevice() {
    const BusyControls busy(*this);
    Transfer transfer = CurrentTransfer(StartButton::UploadFromDevice);
    transferType = transfer.type;
    if (transferType != CREATE_CONFIG_FILE) {
        FetchFromAgent(transfer);
        return;
    }
    // The request file goes from the download side; the configuration comes into the upload
    // side's file.
    ConfigFileChain(CurrentTransfer(StartButton::DownloadToDevice), transfer);
}

int TftpClient::ConfigFileChain(const Transfer& request, const Transfer& fetch) {
    if (!OpenAgentSocket(request)) {
        return StatusReport::kNotFinal;
    }
    SendToAgent(request);
    if (resultCode != kResultSuccess || display.CancelRequested()) {
        return StatusReport::kNotFinal;
    }
    const int status = PollAgentStatus(request);
    if (status == StatusReport::kConfigFileDone) {
        display.AppendStatusLine("Getting config file: please wait.");
        // The agent is still writing the file it has announced.
        constexpr int kConfigReadyMilliseconds = 10000;
        if (PauseBetweenSteps(kConfigReadyMilliseconds)) {
            FetchFromAgent(fetch);
        }
    }
    return status;
}

int TftpClient::SendToAgent(const Transfer& transfer) {
    ShowOutcome(sendSession.Run(transfer));
    return resultCode;
}

int TftpClient::FetchFromAgent(const Transfer& transfer) {
    resultCode = kResultSuccess;
    if (OpenAgentSocket(transfer)) {
        ShowOutcome(fetchSession.Run(transfer));
    }
    return resultCode;
}

int TftpClient::ReadAgentStatus(const Transfer& transfer) {
    resultCode = kResultSuccess;
    if (!OpenAgentSocket(transfer)) {
        // The box has been shown; asking again would show it again, 20 times.
        return StatusReport::kFinal;
    }
    ShowOutcome(statusReport.ReadAttempt());
    // A run that has wound up asks no more.
    return commandLineFlag && windUpAfterSession ? StatusReport::kNotFinal
                                                 : lastOutcome.statusResult;
}

int TftpClient::PollAgentStatus(const Transfer& transfer) {
    constexpr int kAttempts = 20;
    constexpr int kPauseBetweenAttemptsMilliseconds = 200;
    display.AppendStatusLine("Getting Status (if available): ");
    int result = StatusReport::kNotFinal;
    for (int attempt = 0; attempt < kAttempts && result == StatusReport::kNotFinal; ++attempt) {
        result = ReadAgentStatus(transfer);
        if (!PauseBetweenSteps(kPauseBetweenAttemptsMilliseconds)) {
            break;
        }
    }
    display.SetProgressPos(0);
    return result;
}

bool TftpClient::PauseBetweenSteps(int milliseconds) {
    for (int left = milliseconds; left > 0 && !display.CancelRequested();
         left -= kPauseSliceMilliseconds) {
        clock.Sleep(std::min(left, kPauseSliceMilliseconds));
        display.PumpMessages();
    }
    return !display.CancelRequested();
}

void TftpClient::ShowOutcome(const Outcome& outcome) {
    lastOutcome = outcome;
    resultCode = outcome.resultCode;
    // The close operation may have set the flag while the session ran.
    failureFlag = failureFlag || outcome.failed;
    ReportCompletion(outcome.report);
    if (commandLineFlag && windUpAfterSession) {
        WindUpCommandLine();
    }
}

void TftpClient::WindUpCommandLine() {
    display.SetProgressPos(0);
    localFile.Close();
    udpSocket.Close();
    socketOpen = false;
    pingService.Release();
    agentAddressValid = false;
    view.RequestExit(resultCode);
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
        ApplyFileControls(display.CurrentTransferType());
    }
}

void TftpClient::OnCancel() {
    CloseOperation(kWindowClosedText, windUpAfterSession);
}

void TftpClient::OnStopSignal() {
    // A run ended from outside never reports a success. The operator's window keeps their
    // settings as its close box would; a command-line run leaves the profile alone.
    resultCode = kResultRefused;
    CloseOperation(kStopSignalText, !commandLineFlag);
}

void TftpClient::CloseOperation(std::string_view failureLine, bool saveSettings) {
    localFile.Close();
    udpSocket.Close();
    pingService.Release();
    failureFlag = true;
    ReportCompletion(true);
    display.RaiseCancel();
    if (saveSettings) {
        SaveSettings();  // an unattended run keeps away from the operator's profile
    }
    // A command-line run that is closed before it ends never reports a success: its session
    // (and the result code it may have reset) is abandoned.
    if (commandLineFlag) {
        display.FailureLine(failureLine);
        resultCode = kResultRefused;
    }
    view.RequestExit(resultCode);
}

void TftpClient::OnClose() {
    OnCancel();
    if (windUpAfterSession) {
        SaveSettings();
    }
}

void TftpClient::ReportCompletion(bool report) {
    if (!report) {
        return;
    }
    display.AppendStatusLine(kConnectionClosed);
    display.AppendStatusLine(kSpacerLine);
    display.AppendStatusLine(kSpacerLine);
    if (failureFlag) {
        return;
    }
    if (const TransferTypeInfo* info = TransferTypeInfoOf(transferType)) {
        for (std::string_view line : info->completionLines) {
            display.AppendStatusLine(line);
        }
    }
}

}  // namespace kalvoran

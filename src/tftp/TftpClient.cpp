#include "tftp/TftpClient.h"

#include <array>
#include <cstdio>
#include <utility>

#include "tftp/Settings.h"

namespace kalvoran {

namespace {

constexpr std::string_view kConnectionClosed = "Connection closed";
constexpr std::string_view kSpacerLine = "  ";
constexpr std::size_t kHostNameBufferSize = 256;
constexpr char kUnknownKeywordText[] =
    "File type \"%s\" names none of image, config, command, filesystem: sending as the saved "
    "transfer type %s";
constexpr char kNoSavedTypeText[] =
    "File type \"%s\" names none of image, config, command, filesystem, and the profile holds "
    "no saved transfer type to send it as instead: nothing sent";
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

bool TftpClient::InitDialog(const CommandLine& line) {
    const Settings settings = LoadSettings(profile);
    transferType = settings.transferType;
    channel.agentOctets = settings.agentOctets;
    downloadPath = settings.downloadPath;
    uploadPath = settings.uploadPath;

    commandLineFlag = false;
    resultCode = kResultSuccess;
    commandLine = line;
    if (line.kind == CommandLine::Kind::UsageError) {
        view.ShowErrorBox(kUsageText);
        view.MinimizeWindow();
        // The close request that follows saves the settings just loaded; the program then ends
        // with the usage code rather than with a success.
        resultCode = kUsageExitCode;
        OnClose();
        return false;
    }
    if (line.kind == CommandLine::Kind::Run) {
        commandLineFlag = true;
        console.Enable();
        context.lateWait = false;
        if (!TakeCommandLineType(line, settings.transferType, settings.typeSaved)) {
            resultCode = kResultRefused;
            view.RequestExit(resultCode);
            return false;
        }
        downloadPath = line.fileNameArgument;
        channel.agentOctets = line.agentOctets;
        commandLineTransfer = Transfer{transferType, line.fileNameArgument, line.agentOctets, {}};
    }

    std::array<std::string_view, kTransferTypeCount> entries{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i] = AllTransferTypes()[i].displayString;
    }
    view.SetTransferTypeList(entries);
    view.SelectTransferType(TransferTypeInfoOf(transferType) != nullptr ? transferType
                                                                        : APPLICATION_UPGRADE);
    view.SetDownloadFileName(downloadPath);
    view.SetUploadFileName(uploadPath);
    view.SetAddressFields(channel.agentOctets);
    channel.serverAddress = {};
    channel.modeIndex = 1;
    agentAddressValid = false;
    socketOpen = false;

    const std::string hostName = LocalHostName();
    char addressText[kHostNameBufferSize];
    net::FormatDottedAddress(LocalAddress(hostName), addressText, sizeof addressText - 1);
    view.SetLocalHost(hostName, addressText);

    for (DialogControl control : {DialogControl::AgentAddress, DialogControl::LocalHostName,
                                  DialogControl::LocalAddress, DialogControl::Ping}) {
        view.EnableControl(control, true);
    }
    ApplyFileControls(transferType);
    display.WriteInstructions();
    transferType = display.CurrentTransferType();
    display.ClearCancel();

    if (commandLineFlag && line.transferType < 0) {
        // Scripts rely on the saved type (that is how bootloader images are sent), but the
        // script's author should see which one the run uses.
        display.FailureLine(
            FormatLine(kUnknownKeywordText, line.fileTypeArgument.c_str(),
                       std::string(TransferTypeInfoOf(transferType)->displayString).c_str()));
    }
    if (commandLineFlag && line.silent) {
        view.MinimizeWindow();
    }
    return commandLineFlag;
}

bool TftpClient::TakeCommandLineType(const CommandLine& line, int savedType, bool typeSaved) {
    if (line.transferType >= 0) {
        transferType = line.transferType;
        return true;
    }
    // Without a keyword the run sends as the saved type; with none saved, guessing one could
    // flash a bootloader image into the application slot.
    if (typeSaved && TransferTypeInfoOf(savedType) != nullptr) {
        transferType = savedType;
        return true;
    }
    display.FailureLine(FormatLine(kNoSavedTypeText, line.fileTypeArgument.c_str()));
    return false;
}

void TftpClient::OnTransferTypeChanged() {
    display.ClearByteCount();
    transferType = display.CurrentTransferType();
    if (transferType >= 0) {
        ApplyFileControls(transferType);
    }
}

Transfer TftpClient::CurrentTransfer(StartButton side) const {
    if (commandLineTransfer.has_value()) {
        return *commandLineTransfer;
    }
    return Transfer{view.TransferTypeSelection(),
                    side == StartButton::DownloadToDevice ? view.DownloadFileName()
                                                          : view.UploadFileName(),
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
    if (commandLineFlag) {
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
    const Transfer transfer = CurrentTransfer(StartButton::DownloadToDevice);
    if (!OpenAgentSocket(transfer)) {
        return;
    }
    SendToAgent(transfer);
    if (resultCode != kResultSuccess) {
        return;
    }
    if (!commandLineFlag) {
        PollAgentStatus(transfer);
    }
    display.SetProgressPos(0);
    resultCode = kResultSuccess;
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
    const Transfer request = CurrentTransfer(StartButton::DownloadToDevice);
    if (!OpenAgentSocket(request)) {
        return;
    }
    SendToAgent(request);
    if (resultCode != kResultSuccess) {
        return;
    }
    if (PollAgentStatus(request) == StatusReport::kConfigFileDone) {
        display.AppendStatusLine("Getting config file: please wait.");
        // The agent is still writing the file it has announced.
        constexpr int kConfigReadyMilliseconds = 10000;
        Pause(kConfigReadyMilliseconds);
        FetchFromAgent(transfer);
    }
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
    return commandLineFlag ? StatusReport::kNotFinal : lastOutcome.statusResult;
}

int TftpClient::PollAgentStatus(const Transfer& transfer) {
    constexpr int kAttempts = 20;
    constexpr int kPauseBetweenAttemptsMilliseconds = 200;
    display.AppendStatusLine("Getting Status (if available): ");
    int result = StatusReport::kNotFinal;
    for (int attempt = 0; attempt < kAttempts && result == StatusReport::kNotFinal; ++attempt) {
        result = ReadAgentStatus(transfer);
        Pause(kPauseBetweenAttemptsMilliseconds);
    }
    display.SetProgressPos(0);
    return result;
}

void TftpClient::ShowOutcome(const Outcome& outcome) {
    lastOutcome = outcome;
    resultCode = outcome.resultCode;
    // The close operation may have set the flag while the session ran.
    failureFlag = failureFlag || outcome.failed;
    ReportCompletion(outcome.report);
    if (commandLineFlag) {
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
    localFile.Close();
    udpSocket.Close();
    pingService.Release();
    failureFlag = true;
    ReportCompletion(true);
    display.RaiseCancel();
    SaveSettings();
    // A command-line run that is closed before it ends never reports a success: its session
    // (and the result code it may have reset) is abandoned.
    if (commandLineFlag) {
        display.FailureLine(kWindowClosedText);
        resultCode = kResultRefused;
    }
    view.RequestExit(resultCode);
}

void TftpClient::OnClose() {
    OnCancel();
    SaveSettings();
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

void TftpClient::SaveSettings() {
    kalvoran::SaveSettings(profile, transferType, channel.agentOctets, view.DownloadFileName(),
                           view.UploadFileName());
}

std::string TftpClient::LocalHostName() {
    char name[kHostNameBufferSize] = {};
    if (net::GetLocalHostName(name, kHostNameBufferSize - 1) == nullptr) {
        ShowStartupErrorBox("Unable to get the local host name");
        return {};
    }
    return name;
}

std::uint32_t TftpClient::LocalAddress(const std::string& hostName) {
    // The engineer compares this with the agent's network: the address of the interface that
    // reaches the agent (the saved or command-line one) says that, while the host name often
    // resolves to loopback. The name is looked up only on a computer with no other address.
    const std::uint32_t facing = net::LocalAddressFacing(net::ToStorageOrder(channel.agentOctets));
    if (facing != 0) {
        return facing;
    }
    if (hostName.empty()) {
        return 0;  // no name to look up: the box shows 0.0.0.0
    }
    const std::uint32_t address = net::LookupIPv4(hostName.c_str());
    if (address == 0) {
        ShowStartupErrorBox("gethostbyname failed");
    }
    return address;
}

void TftpClient::ShowStartupErrorBox(std::string_view text) {
    // The local host's boxes are no business of a command-line run: its failures there are
    // shown only interactively.
    if (!commandLineFlag) {
        view.ShowErrorBox(text);
    }
}

void TftpClient::ApplyFileControls(int type) {
    const FileControlState state = FileControlsFor(type);
    view.EnableControl(DialogControl::DownloadFileName, state.downloadName);
    view.EnableControl(DialogControl::BrowseDownload, state.browseDownload);
    view.EnableControl(DialogControl::DownloadToDevice, state.downloadButton);
    view.EnableControl(DialogControl::UploadFileName, state.uploadName);
    view.EnableControl(DialogControl::BrowseUpload, state.browseUpload);
    view.EnableControl(DialogControl::UploadFromDevice, state.uploadButton);
}

}  // namespace kalvoran

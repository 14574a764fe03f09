#include "tftp/TftpClient.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "tftp/Settings.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

namespace {

constexpr std::string_view kConnectionClosed = "Connection closed";
constexpr std::string_view kSpacerLine = "  ";
constexpr std::size_t kHostNameBufferSize = 256;
constexpr char kUnknownKeywordText[] =
    "File type \"%s\" names none of image, config, command, filesystem: sending as the saved "
    "transfer type %s";
constexpr std::string_view kWindowClosedText = "Cancelled: the window was closed.";
// The last wait of an interactive session for one late datagram from the agent.
constexpr int kLateWaitSeconds = 5;
// Pauses are cut into slices of this length, after each of which the window may repaint.
constexpr int kPauseSliceMilliseconds = 20;

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
      errorBoxes(dialogView, console),
      display(dialogView, console),
      localFile(errorBoxes),
      udpSocket(io.socket != nullptr ? *io.socket : ownSocket),
      channel(udpSocket, systemClock, display),
      sendSession(*this),
      fetchSession(*this),
      statusReport(*this) {
    pingService.SetWaitCallback(&TftpClient::KeepWindowAliveDuringPing, this);
}

TftpClient::~TftpClient() {
    net::StopWinsock();
    agentAddressValid = false;
}

bool TftpClient::InitDialog(const CommandLine& line) {
    const Settings settings = LoadSettings(profile);
    transferType = settings.transferType;
    channel.agentOctets = settings.agentOctets;
    downloadPath = settings.downloadPath;
    uploadPath = settings.uploadPath;

    commandLineFlag = 0;
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
        commandLineFlag = 1;
        console.Enable();
        if (line.transferType >= 0) {
            transferType = line.transferType;
        }
        downloadPath = line.fileNameArgument;
        channel.agentOctets = line.agentOctets;
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

    net::StartWinsock();
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

    if (commandLineFlag == 1 && line.transferType < 0) {
        // Scripts rely on the saved type (that is how bootloader images are sent), but the
        // script's author should see which one the run uses.
        console.FailureLine(
            FormatLine(kUnknownKeywordText, line.fileTypeArgument.c_str(),
                       std::string(TransferTypeInfoOf(transferType)->displayString).c_str()));
    }

    if (commandLineFlag == 1 && line.silent) {
        view.MinimizeWindow();
    }
    return commandLineFlag == 1;
}

void TftpClient::OnTransferTypeChanged() {
    display.ClearByteCount();
    transferType = display.CurrentTransferType();
    if (transferType >= 0) {
        ApplyFileControls(transferType);
    }
}

void TftpClient::ResolveAgentAddress() {
    failureFlag = 0;
    const int selection = display.CurrentTransferType();
    transferType = selection >= 1 && selection < kTransferTypeCount ? selection : 0;
    agentAddressValid = true;
    channel.agentOctets = view.AddressFields();
    const net::Octets& octets = channel.agentOctets;
    std::snprintf(channel.agentText.data(), channel.agentText.size(), "%d.%d.%d.%d", octets[0],
                  octets[1], octets[2], octets[3]);
    if (std::string_view(channel.agentText.data()) == "0.0.0.0") {
        ShowErrorBox("Not a valid IP address");
        agentAddressValid = false;
        return;
    }
    const std::uint32_t address = net::LookupIPv4(channel.agentText.data());
    if (address == 0) {
        ShowErrorBox("gethostbyname: failed");
        agentAddressValid = false;
        return;
    }
    pingService.SetTarget(address);
    channel.serverAddress = {address, static_cast<std::uint16_t>(tftp::kTftpPort)};
}

bool TftpClient::OpenAgentSocket() {
    ResolveAgentAddress();
    if (!agentAddressValid) {
        return AbandonForNetworkFailure();
    }
    if (udpSocket.IsOpen()) {
        return true;  // the socket of an earlier session serves again
    }
    socketOpen = true;
    if (!udpSocket.Open()) {
        ShowErrorBox("failed to create socket");
        return AbandonForNetworkFailure();
    }
    return true;
}

bool TftpClient::AbandonForNetworkFailure() {
    Fail(kResultNetworkFailure);
    if (commandLineFlag == 1) {
        WindUpCommandLine(false);
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
            failureFlag = 1;
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
    if (!OpenAgentSocket()) {
        return;
    }
    SendToAgent();
    if (resultCode != kResultSuccess) {
        return;
    }
    if (commandLineFlag == 0) {
        PollAgentStatus();
    }
    display.SetProgressPos(0);
    resultCode = kResultSuccess;
}

void TftpClient::OnUploadFromDevice() {
    const BusyControls busy(*this);
    transferType = display.CurrentTransferType();
    if (transferType != CREATE_CONFIG_FILE) {
        FetchFromAgent();
        return;
    }
    if (!OpenAgentSocket()) {
        return;
    }
    SendToAgent();
    if (resultCode != kResultSuccess) {
        return;
    }
    if (PollAgentStatus() == StatusReport::kConfigFileDone) {
        display.AppendStatusLine("Getting config file: please wait.");
        // The agent is still writing the file it has announced.
        constexpr int kConfigReadyMilliseconds = 10000;
        Pause(kConfigReadyMilliseconds);
        FetchFromAgent();
    }
}

int TftpClient::SendToAgent() {
    sendSession.Run();
    return 0;
}

int TftpClient::FetchFromAgent() {
    fetchSession.Run();
    return 0;
}

int TftpClient::ReadAgentStatus() {
    return statusReport.ReadAttempt();
}

int TftpClient::PollAgentStatus() {
    return statusReport.Poll();
}

void TftpClient::ReportFailure(std::string_view text) {
    display.AppendStatusLine(text);
    console.FailureLine(text);
}

void TftpClient::Pause(int milliseconds) {
    while (milliseconds > 0) {
        const int slice = std::min(milliseconds, kPauseSliceMilliseconds);
        clock.Sleep(slice);
        milliseconds -= slice;
        display.KeepWindowAlive();
    }
}

void TftpClient::EndSession(bool report) {
    if (commandLineFlag == 1) {
        WindUpCommandLine(report);
        return;
    }
    display.SetProgressPos(0);
    localFile.Close();
    channel.WaitForAck(kLateWaitSeconds);
    ReportCompletion(report);
}

void TftpClient::WindUpCommandLine(bool report) {
    display.SetProgressPos(0);
    localFile.Close();
    ReportCompletion(report);
    udpSocket.Close();
    socketOpen = false;
    pingService.Release();
    net::StopWinsock();
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

void TftpClient::KeepWindowAliveDuringPing(void* client) {
    static_cast<TftpClient*>(client)->display.KeepWindowAlive();
}

void TftpClient::OnCancel() {
    localFile.Close();
    udpSocket.Close();
    pingService.Release();
    failureFlag = 1;
    ReportCompletion(true);
    display.RaiseCancel();
    SaveSettings();
    // A command-line run that is closed before it ends never reports a success: its session
    // (and the result code it may have reset) is abandoned.
    if (commandLineFlag == 1) {
        console.FailureLine(kWindowClosedText);
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
    if (failureFlag != 0) {
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
    if (commandLineFlag == 0) {
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

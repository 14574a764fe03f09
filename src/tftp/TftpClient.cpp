#include "tftp/TftpClient.h"

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

}  // namespace

TftpClient::TftpClient(DialogView& dialogView, Clock& systemClock, std::string profilePath)
    : view(dialogView),
      clock(systemClock),
      profile(std::move(profilePath)),
      display(dialogView),
      localFile(dialogView),
      channel(udpEndpoint, systemClock, display) {}

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
        ShowErrorBoxUnlessCommandLine("Not a valid IP address");
        agentAddressValid = false;
        return;
    }
    const std::uint32_t address = net::LookupIPv4(channel.agentText.data());
    if (address == 0) {
        ShowErrorBoxUnlessCommandLine("gethostbyname: failed");
        agentAddressValid = false;
        return;
    }
    pingService.SetTarget(address);
    channel.serverAddress = {address, static_cast<std::uint16_t>(tftp::kTftpPort)};
}

bool TftpClient::OpenAgentSocket() {
    ResolveAgentAddress();
    if (!agentAddressValid) {
        EndWithNetworkFailure();
        return false;
    }
    if (socketOpen) {
        return true;  // the socket of an earlier session serves again
    }
    socketOpen = true;
    if (!udpEndpoint.Open()) {
        ShowErrorBoxUnlessCommandLine("failed to create socket");
        EndWithNetworkFailure();
        return false;
    }
    return true;
}

void TftpClient::EndWithNetworkFailure() {
    resultCode = kResultNetworkFailure;
    failureFlag = 1;
    view.RequestExit(kResultNetworkFailure);
}

void TftpClient::OnPing() {
    if (pingRunning) {
        return;  // PING pressed again while its own echoes run: one ping run at a time
    }
    ResolveAgentAddress();
    if (!agentAddressValid) {
        return;
    }
    pingRunning = true;
    constexpr int kAttempts = 3;
    constexpr int kPauseMilliseconds = 500;
    constexpr std::time_t kAttemptLimitSeconds = 10;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::time_t start = clock.Now();
        clock.Sleep(kPauseMilliseconds);
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
    pingRunning = false;
}

void TftpClient::OnCancel() {
    localFile.Close();
    udpEndpoint.Close();
    pingService.Release();
    failureFlag = 1;
    ReportCompletion(true);
    display.RaiseCancel();
    SaveSettings();
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
        ShowErrorBoxUnlessCommandLine("Unable to get the local host name");
        return {};
    }
    return name;
}

std::uint32_t TftpClient::LocalAddress(const std::string& hostName) {
    if (hostName.empty()) {
        return 0;  // no name to look up: the box shows 0.0.0.0
    }
    const std::uint32_t address = net::LookupIPv4(hostName.c_str());
    if (address == 0) {
        ShowErrorBoxUnlessCommandLine("gethostbyname failed");
    }
    return address;
}

void TftpClient::ShowErrorBoxUnlessCommandLine(std::string_view text) {
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

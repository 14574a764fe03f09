#include "tftp/TftpClient.h"

#include <array>
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
      localFile(dialogView) {}

bool TftpClient::InitDialog(const CommandLine& line) {
    const Settings settings = LoadSettings(profile);
    transferType = settings.transferType;
    agentOctets = settings.agentOctets;
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
        agentOctets = line.agentOctets;
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
    view.SetAddressFields(agentOctets);

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

void TftpClient::OnCancel() {
    localFile.Close();
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
    kalvoran::SaveSettings(profile, transferType, agentOctets, view.DownloadFileName(),
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

// The client's start-up (the profile, the command line, the window's first contents) and the
// settings it keeps between runs: the part of TftpClient that runs before any session.
#include <array>

#include "tftp/LocalHost.h"
#include "tftp/Settings.h"
#include "tftp/TftpClient.h"

namespace kalvoran {

namespace {

constexpr char kUnknownKeywordText[] =
    "File type \"%s\" names none of image, config, command, filesystem: sending as the saved "
    "transfer type %s";
constexpr char kNoSavedTypeText[] =
    "File type \"%s\" names none of image, config, command, filesystem, and the profile holds "
    "no saved transfer type to send it as instead: nothing sent";

}  // namespace

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
        view.ShowErrorBox(UsageErrorText(line));
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

    const LocalHost host = DescribeLocalHost(channel.agentOctets);
    view.SetLocalHost(host.name, host.address);
    if (!commandLineFlag) {
        // The local host's boxes are no business of a command-line run.
        for (std::string_view failure : host.failures) {
            view.ShowErrorBox(failure);
        }
    }

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

void TftpClient::InitUnattended(const Transfer& transfer) {
    commandLineFlag = true;
    windUpAfterSession = false;
    console.Enable();
    context.lateWait = false;
    commandLineTransfer = transfer;
    transferType = transfer.type;
    channel.agentOctets = transfer.agent;
    channel.serverAddress = {};
    channel.modeIndex = 1;
    agentAddressValid = false;
    socketOpen = false;
    resultCode = kResultSuccess;
    display.ClearCancel();
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

void TftpClient::SaveSettings() {
    kalvoran::SaveSettings(profile, transferType, channel.agentOctets, view.DownloadFileName(),
                           view.UploadFileName());
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

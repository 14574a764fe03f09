// The client's start-up (the profile, the command line, the window's first contents) and the
// settings it keeps between runs: the part of TftpClient that runs before any session.
#include <array>

#include "tftp/CommandLineRun.h"
#include "tftp/LocalHost.h"
#include "tftp/Settings.h"
#include "tftp/TftpClient.h"

namespace kalvoran {

bool TftpClient::InitDialog(const CommandLine& line) {
    const Settings settings = LoadSettings(profile);
    transferType = settings.transferType;
    agentOctets = settings.agentOctets;
    std::string downloadPath = settings.downloadPath;

    commandLineFlag = false;
    link.SetResultCode(kResultSuccess);
    if (line.kind == CommandLine::Kind::UsageError) {
        view.ShowErrorBox(UsageErrorText(line));
        view.MinimizeWindow();
        // The close request that follows saves the settings just loaded; the program then ends
        // with the usage code rather than with a success.
        link.SetResultCode(kUsageExitCode);
        OnClose();
        return false;
    }
    asked = settings.asked;
    if (line.kind == CommandLine::Kind::Run) {
        commandLineFlag = true;
        console.Enable();
    }
    // A box, or in a command-line run a line on the failure stream.
    if (const std::string problem = OptionProblemText(settings); !problem.empty()) {
        display.ShowErrorBox(problem);
    }
    if (commandLineFlag) {
        const CommandLineType type = TypeOfCommandLine(line, settings);
        if (!type.refusal.empty()) {
            display.FailureLine(type.refusal);
            link.SetResultCode(kResultRefused);
            view.RequestExit(kResultRefused);
            return false;
        }
        transferType = type.type;
        downloadPath = line.fileNameArgument;
        agentOctets = line.agentOctets;
        commandLineTransfer = CommandLineTransfer(line, type.type, asked);
        // Nobody waits for a late datagram of a script's run.
        link.SetLateWait(false);
    }

    std::array<std::string_view, kTransferTypeCount> entries{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i] = AllTransferTypes()[i].displayString;
    }
    view.SetTransferTypeList(entries);
    view.SelectTransferType(TransferTypeInfoOf(transferType) != nullptr ? transferType
                                                                        : APPLICATION_UPGRADE);
    view.SetDownloadFileName(downloadPath);
    view.SetUploadFileName(settings.uploadPath);
    view.SetAddressFields(agentOctets);

    const LocalHost host = DescribeLocalHost(agentOctets);
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
    view.ClearStatusLog();
    display.WriteInstructions();
    transferType = view.TransferTypeSelection();
    display.ClearCancel();

    if (commandLineFlag && line.transferType < 0) {
        display.FailureLine(SavedTypeNotice(line, transferType));
    }
    if (commandLineFlag && line.silent) {
        view.MinimizeWindow();
    }
    return commandLineFlag;
}

void TftpClient::OnTransferTypeChanged() {
    view.SetStatField(StatField::BytesSentRecvd, "");
    transferType = view.TransferTypeSelection();
    if (transferType >= 0) {
        ApplyFileControls(transferType);
    }
}

void TftpClient::SaveSettings() {
    kalvoran::SaveSettings(profile, transferType, agentOctets, view.DownloadFileName(),
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

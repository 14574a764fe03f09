// The window's presenter: start-up (the profile, the command line, the window's first
// contents), the controls' rules, the buttons' handlers, the busy state, the close operation and
// the settings kept between runs. It reaches the window only through DialogView and time only
// through Clock, so tests drive it without a window and in simulated time.
//
// A button (reading the window when the session starts) or the command line of a windowed run
// becomes a Transfer, which the window's AgentLink runs; the link writes the log, the bar and
// the statistics through a ViewObserver. A windowed command-line run ends after its send with
// the result code.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "files/IniProfile.h"
#include "net/Addressing.h"
#include "net/DatagramSocket.h"
#include "tftp/AgentLink.h"
#include "tftp/Clock.h"
#include "tftp/CommandLine.h"
#include "tftp/CommandLineRun.h"
#include "tftp/ConsoleReport.h"
#include "tftp/DialogView.h"
#include "tftp/StatusDisplay.h"
#include "tftp/Transfer.h"
#include "tftp/TransferTypes.h"
#include "tftp/ViewObserver.h"

namespace kalvoran {

// What the window's run has come to.
struct ClientState {
    int resultCode = 0;  // what the program ends with
    bool failureFlag = false;
    int transferType = 0;  // the type the settings keep
    bool commandLine = false;
};

class TftpClient {
public:
    TftpClient(DialogView& view, Clock& clock, std::string profilePath, ClientIo io = {});
    TftpClient(const TftpClient&) = delete;
    TftpClient& operator=(const TftpClient&) = delete;

    // Dialog start-up, in its fixed order: load the profile, apply the command line, fill the
    // type list, the file fields, the address and the local host boxes, enable the controls,
    // write the instructions, clear the cancel flag. Returns true when a command-line run must
    // start its send once the window's event loop runs; false for an interactive start and for
    // a run that already ended (usage error, no type to send as), whose exit code the view holds.
    bool InitDialog(const CommandLine& commandLine);

    // Selection change in the type list: empties the byte count and applies the enabling rules
    // (no selection changes nothing).
    void OnTransferTypeChanged();

    // The PING button: three echoes to the agent, one status-log line each.
    void OnPing();
    // DOWNLOAD TO DEVICE, and the start message of a command-line run: sends the file of the
    // Download File Name box, then, interactively and after a success, polls the agent's status.
    void OnDownloadToDevice();
    // UPLOAD FROM DEVICE: fetches eeprom.bin, or runs the CREATE CONFIG FILE chain (send the
    // request file, poll until "Config file done", pause 10 s, fetch config.cfg).
    void OnUploadFromDevice();

    // The close operation (CLOSE, Esc): reports, cancels the running session, releases the file,
    // socket and ping resources once it has returned, saves the settings of an interactive
    // window and asks the program to end with the result code.
    void OnCancel();
    // The window's close request: the close operation, then the settings once more.
    void OnClose();
    // SIGTERM, SIGINT or SIGHUP: the close operation, and result code 2 whatever the session
    // had reached.
    void OnStopSignal();

    // What a session started now would do: in a command-line run the transfer its arguments
    // describe; otherwise the type list's selection, the file field of the side whose button
    // starts it, and the address control, as the window holds them now. Either asks for the
    // options the profile named at start-up.
    Transfer CurrentTransfer(StartButton side) const;

    ClientState State() const;
    StatusDisplay& Display() { return display; }

private:
    // While a session, a status poll or a ping runs, nothing may start another or change the
    // transfer type under it: the two transfer buttons, PING and the type list are disabled,
    // and afterwards set again by the rules of the selected type.
    class BusyControls;
    void SetBusy(bool busy);

    // The type a command-line run sends as; false, with the reason on the failure stream, when
    // its keyword names none and the profile holds no valid saved type.
    bool TakeCommandLineType(const CommandLine& line, int savedType, bool typeSaved);
    // A chain is about to run for transfer: its agent and type are the ones the settings keep.
    void Starting(const Transfer& transfer);
    // After a chain: the type it ran as, and the end of a command-line run.
    void Ended();
    void CloseOperation(std::string_view failureLine, bool saveSettings);
    void SaveSettings();
    void ApplyFileControls(int type);

    DialogView& view;
    IniProfile profile;
    ConsoleReport console;
    ViewObserver observer;
    StatusDisplay display;
    AgentLink link;

    bool commandLineFlag = false;
    int transferType = APPLICATION_UPGRADE;
    net::Octets agentOctets{};  // the address the settings keep
    tftp::AskedOptions asked;   // the profile's options, read at start-up and never saved
    std::optional<Transfer> commandLineTransfer;
    int busyDepth = 0;
};

}  // namespace kalvoran

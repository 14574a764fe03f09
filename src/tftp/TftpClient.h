// The toolkit-free driver of the client dialog: it owns every piece of run state (transfer type,
// paths, command-line fields, result code, failure flag, the local file, the agent address) and
// the operations the dialog's buttons and start-up run. It reaches the window only through
// DialogView, and time only through Clock, so tests drive it without a window and in simulated
// time, and a command-line run without a display drives it over a headless view.
//
// A driver turns a button (reading the window when the session starts) or the command line into
// a Transfer, runs the session over the shared SessionContext, and shows the session's Outcome:
// the completion report, the result code and failure flag, and in a command-line run the
// wind-up that ends the program with the result code.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "files/IniProfile.h"
#include "files/LocalFile.h"
#include "net/PingService.h"
#include "net/UdpEndpoint.h"
#include "tftp/Clock.h"
#include "tftp/CommandLine.h"
#include "tftp/ConsoleReport.h"
#include "tftp/DialogView.h"
#include "tftp/FetchSession.h"
#include "tftp/Outcome.h"
#include "tftp/ResultCode.h"
#include "tftp/SendSession.h"
#include "tftp/SessionContext.h"
#include "tftp/StatusDisplay.h"
#include "tftp/StatusReport.h"
#include "tftp/TftpChannel.h"
#include "tftp/Transfer.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

// Where a command-line run writes its log and its reasons for failure, and the socket the
// sessions use (the program's own UDP socket unless a test hands in another).
struct ClientIo {
    std::FILE* log = stdout;
    std::FILE* failures = stderr;
    net::DatagramSocket* socket = nullptr;
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

    // Start-up of a run that nobody watches and that runs several sessions for one agent before
    // it ends (one agent of a fleet): a command-line run's rules (no boxes, reasons to the
    // failure stream, no late wait) with the given transfer, but no wind-up after each session,
    // so that a status poll or a fetch can follow a send. The profile is neither read nor
    // written.
    void InitUnattended(const Transfer& transfer);

    // Selection change in the type list: empties the byte count and applies the enabling rules
    // (no selection changes nothing).
    void OnTransferTypeChanged();

    // What a session started now would do: in a command-line run the transfer its arguments
    // describe; otherwise the type list's selection, the file field of the side whose button
    // starts it, and the address control, as the window holds them now.
    Transfer CurrentTransfer(StartButton side) const;

    // Turns the transfer's agent address into the destination of requests (port 69) and the
    // ping target. Clears the failure flag and takes the transfer type. An all-zero or
    // unresolvable address shows an error box and leaves agentAddressValid clear.
    void ResolveAgentAddress(const Transfer& transfer);
    void ResolveAgentAddress() {
        ResolveAgentAddress(CurrentTransfer(StartButton::DownloadToDevice));
    }
    // Every session starts here: resolves the address and makes the one UDP socket on first
    // use. False, with result code 3, when the address is not valid or no socket can be made: a
    // command-line run then ends with exit code 3; an interactive run has shown its box and
    // abandons the operation, but the program stays open.
    bool OpenAgentSocket(const Transfer& transfer);
    bool OpenAgentSocket() {
        return OpenAgentSocket(CurrentTransfer(StartButton::DownloadToDevice));
    }

    // The PING button: three echoes to the agent, one status-log line each.
    void OnPing();

    // DOWNLOAD TO DEVICE, and the start message of a command-line run: sends the file of the
    // Download File Name box, then, interactively and after a success, polls the agent's status.
    void OnDownloadToDevice();
    // UPLOAD FROM DEVICE: fetches eeprom.bin, or runs the CREATE CONFIG FILE chain (send the
    // request file, poll until "Config file done", pause 10 s, fetch config.cfg).
    void OnUploadFromDevice();
    // The two chains the buttons run, for any transfer. SendThenPoll sends and, after a success
    // and when pollStatus, polls the agent's status; it returns the last attempt's result
    // (kNotFinal when there was none). ConfigFileChain sends the request, and after "Config file
    // done" fetches the generated file into fetch's local path; it returns the poll's result.
    int SendThenPoll(const Transfer& transfer, bool pollStatus);
    int ConfigFileChain(const Transfer& request, const Transfer& fetch);
    // The sessions, each shown when it ends; they return the result code. SendToAgent expects
    // the socket open (OpenAgentSocket); the others open it themselves.
    int SendToAgent(const Transfer& transfer);
    int FetchFromAgent(const Transfer& transfer);
    // One status attempt: 0 no final status yet, 1 a final status (or none to be had), 2 "Config
    // file done". PollAgentStatus asks up to 20 times and returns the last attempt's result.
    int ReadAgentStatus(const Transfer& transfer);
    int PollAgentStatus(const Transfer& transfer);

    // The close operation (CLOSE, Esc): releases the file, socket and ping resources, reports,
    // raises the cancel flag, saves the settings and asks the program to end with the result
    // code.
    void OnCancel();
    // The window's close request: the close operation, then the settings once more.
    void OnClose();
    // SIGTERM, SIGINT or SIGHUP: the close operation (the settings saved only when the window
    // was started without a command line), and result code 2 whatever the session had reached.
    void OnStopSignal();

    // "Connection closed", two lines of two blanks, and, unless the failure flag is set, the
    // current type's completion lines. Nothing when report is false.
    void ReportCompletion(bool report);

    void SaveSettings();
    // The end of a command-line run: closes the file and the socket, releases the ping
    // resources and asks the program to end with the result code.
    void WindUpCommandLine();

    StatusDisplay& Display() { return display; }
    TftpChannel& Channel() { return channel; }
    net::CPingService& PingService() { return pingService; }
    // The outcome of the last session that ran.
    const Outcome& LastOutcome() const { return lastOutcome; }

    // Run state, read by the window and the tests.
    int resultCode = kResultSuccess;
    bool failureFlag = false;
    bool commandLineFlag = false;
    int transferType = APPLICATION_UPGRADE;
    std::string downloadPath;
    std::string uploadPath;
    CommandLine commandLine;
    bool agentAddressValid = false;
    bool socketOpen = false;

private:
    // While a session, a status poll or a ping runs, nothing may start another or change the
    // transfer type under it: the two transfer buttons, PING and the type list are disabled,
    // and afterwards set again by the rules of the selected type.
    class BusyControls;
    void SetBusy(bool busy);

    // Takes a session's outcome over as the run's, writes the completion report and, in a
    // command-line run, winds up.
    void ShowOutcome(const Outcome& outcome);
    // Result code 3 after an address or socket failure; a command-line run then ends.
    bool AbandonForNetworkFailure();
    // The type a command-line run sends as; false, with the reason on the failure stream, when
    // its keyword names none and the profile holds no valid saved type.
    bool TakeCommandLineType(const CommandLine& line, int savedType, bool typeSaved);
    void Pause(int milliseconds) { PauseKeepingWindowAlive(clock, display, milliseconds); }
    // A pause between two steps of a chain (status attempts, the wait for a generated
    // configuration): the window's input is taken meanwhile, so a close or a stop signal ends
    // it at once. False when the run was cancelled; the chain then goes no further.
    bool PauseBetweenSteps(int milliseconds);
    void CloseOperation(std::string_view failureLine, bool saveSettings);

    void ApplyFileControls(int type);

    DialogView& view;
    Clock& clock;
    IniProfile profile;
    ConsoleReport console;
    StatusDisplay display;
    CLocalFile localFile;
    net::UdpEndpoint ownSocket;
    net::DatagramSocket& udpSocket;
    TftpChannel channel;
    net::CPingService pingService;
    SessionContext context;
    SendSession sendSession;
    FetchSession fetchSession;
    StatusReport statusReport;
    std::optional<Transfer> commandLineTransfer;
    // A command-line run ends after its session; an unattended run of several sessions does not.
    bool windUpAfterSession = true;
    Outcome lastOutcome;
    int busyDepth = 0;
};

}  // namespace kalvoran

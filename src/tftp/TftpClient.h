// The toolkit-free core of the client dialog: it owns every piece of run state (transfer type,
// paths, command-line fields, result code, failure flag, the local file, the agent address,
// counters) and the operations the dialog's buttons and start-up run. It reaches the window only
// through DialogView, and time only through Clock, so tests drive it without a window and in
// simulated time.
//
// The three sessions (SendSession, FetchSession, StatusReport) each live in a class of their own
// over this shared state; the drivers below run them. Every session has the same shape: Start,
// the agent wait (WaitForAgent), Prepare, its exchange loop, and one End step (EndSession)
// through which every path leaves. Outcomes are left in resultCode and failureFlag.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "files/IniProfile.h"
#include "files/LocalFile.h"
#include "files/StoredCrc.h"
#include "net/Addressing.h"
#include "net/PingService.h"
#include "net/UdpEndpoint.h"
#include "tftp/Clock.h"
#include "tftp/CommandLine.h"
#include "tftp/ConsoleReport.h"
#include "tftp/DialogView.h"
#include "tftp/FetchSession.h"
#include "tftp/SendSession.h"
#include "tftp/StatusDisplay.h"
#include "tftp/StatusReport.h"
#include "tftp/TftpChannel.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

// Outcome of the last session; also the exit code of a command-line run and of the close
// operation.
enum ResultCode : int {
    kResultSuccess = 0,
    kResultNoPingAnswer = 1,    // the agent answered no ping (or a status attempt ended final)
    kResultRefused = 2,         // refused or abandoned locally: type, file, cancel
    kResultNetworkFailure = 3,  // socket, ERROR from the agent, missing acknowledgements, address
};

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
    // Ends the use of the socket layer.
    ~TftpClient();
    TftpClient(const TftpClient&) = delete;
    TftpClient& operator=(const TftpClient&) = delete;

    // Dialog start-up, in its fixed order: load the profile, apply the command line, fill the
    // type list, the file fields, the address and the local host boxes, enable the controls,
    // write the instructions, clear the cancel flag. Returns true when a command-line run must
    // start its send once the window's event loop runs.
    bool InitDialog(const CommandLine& commandLine);

    // Selection change in the type list: empties the byte count and applies the enabling rules
    // (no selection changes nothing).
    void OnTransferTypeChanged();

    // Reads the agent address from the window and turns it into the destination of requests
    // (port 69) and the ping target. Clears the failure flag and re-reads the transfer type.
    // An all-zero or unresolvable address shows an error box (not in a command-line run) and
    // leaves agentAddressValid clear.
    void ResolveAgentAddress();
    // Every session starts here: resolves the address and makes the one UDP socket on first
    // use. False, with result code 3, when the address is not valid or no socket can be made: a
    // command-line run then ends with exit code 3; an interactive run has shown its box and
    // abandons the operation, but the program stays open.
    bool OpenAgentSocket();

    // The PING button: three echoes to the agent, one status-log line each.
    void OnPing();

    // DOWNLOAD TO DEVICE, and the start message of a command-line run: sends the file of the
    // Download File Name box, then, interactively and after a success, polls the agent's status.
    void OnDownloadToDevice();
    // UPLOAD FROM DEVICE: fetches eeprom.bin, or runs the CREATE CONFIG FILE chain (send the
    // request file, poll until "Config file done", pause 10 s, fetch config.cfg).
    void OnUploadFromDevice();
    // The sessions; each always returns 0 and leaves its outcome in the result code.
    int SendToAgent();
    int FetchFromAgent();
    // One status attempt: 0 no final status yet, 1 a final status (or none to be had), 2 "Config
    // file done". PollAgentStatus asks up to 20 times and returns the last attempt's result.
    int ReadAgentStatus();
    int PollAgentStatus();

    // The close operation (CLOSE, Esc): releases the file, socket and ping resources, reports,
    // raises the cancel flag, saves the settings and asks the program to end with the result
    // code.
    void OnCancel();
    // The window's close request: the close operation, then the settings once more.
    void OnClose();

    // "Connection closed", two lines of two blanks, and, unless the failure flag is set, the
    // current type's completion lines. Nothing when report is false.
    void ReportCompletion(bool report);

    void SaveSettings();

    StatusDisplay& Display() { return display; }
    TftpChannel& Channel() { return channel; }
    net::CPingService& PingService() { return pingService; }

    // --- what the sessions share ---
    DialogView& View() { return view; }
    CLocalFile& LocalFile() { return localFile; }
    Clock& Time() { return clock; }
    const ConsoleReport& Console() const { return console; }
    // An error box in an interactive run; a line on the failure stream in a command-line run.
    void ShowErrorBox(std::string_view text) { errorBoxes.ShowErrorBox(text); }
    // A status-log line that tells why a session fails; a command-line run also writes it to
    // the failure stream.
    void ReportFailure(std::string_view text);
    // A failing end of a session: the failure flag and the result code.
    void Fail(int code) {
        failureFlag = 1;
        resultCode = code;
    }
    // Pauses the thread, letting the window repaint meanwhile.
    void Pause(int milliseconds);
    // The End step of every session: the progress bar to 0 and the local file closed; then in a
    // command-line run the wind-up, otherwise a last wait of up to 5 seconds that takes one late
    // datagram off the socket, and the completion report (when report is true).
    void EndSession(bool report);
    // The end of a command-line run: closes the file and the socket, releases the ping
    // resources, ends the socket layer and asks the program to end with the result code.
    void WindUpCommandLine(bool report);

    // Run state, read by the window and the tests.
    int resultCode = kResultSuccess;
    int failureFlag = 0;
    int commandLineFlag = 0;
    int transferType = APPLICATION_UPGRADE;
    std::string downloadPath;
    std::string uploadPath;
    CommandLine commandLine;
    bool agentAddressValid = false;
    bool socketOpen = false;
    std::int32_t fileLength = 0;
    std::int32_t byteCounter = 0;
    std::int32_t blockCount = 0;  // full blocks of the file in transfer
    CrcText crcText{};

private:
    // While a session, a status poll or a ping runs, nothing may start another or change the
    // transfer type under it: the two transfer buttons, PING and the type list are disabled,
    // and afterwards set again by the rules of the selected type.
    class BusyControls;
    void SetBusy(bool busy);

    // Local host name and address for the two boxes; failures show an error box unless the run
    // is a command-line run.
    std::string LocalHostName();
    std::uint32_t LocalAddress(const std::string& hostName);
    // The local host's boxes are no business of a command-line run: its failures there are
    // shown only interactively.
    void ShowStartupErrorBox(std::string_view text);
    void ApplyFileControls(int type);
    // Result code 3 after an address or socket failure; a command-line run then ends.
    bool AbandonForNetworkFailure();
    // The ping's wait for an echo reply lets the window repaint through this.
    static void KeepWindowAliveDuringPing(void* client);

    DialogView& view;
    Clock& clock;
    IniProfile profile;
    ConsoleReport console;
    RoutedErrorBoxes errorBoxes;
    StatusDisplay display;
    CLocalFile localFile;
    net::UdpEndpoint ownSocket;
    net::DatagramSocket& udpSocket;
    TftpChannel channel;
    net::CPingService pingService;
    SendSession sendSession;
    FetchSession fetchSession;
    StatusReport statusReport;
    int busyDepth = 0;
};

}  // namespace kalvoran

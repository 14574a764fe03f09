// The toolkit-free core of the client dialog: it owns every piece of run state (transfer type,
// paths, command-line fields, result code, failure flag, the local file, the agent address,
// counters) and the operations the dialog's buttons and start-up run. It reaches the window only
// through DialogView, and time only through Clock, so tests drive it without a window and in
// simulated time.
#pragma once

#include <cstdint>
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
#include "tftp/DialogView.h"
#include "tftp/StatusDisplay.h"
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

class TftpClient {
public:
    TftpClient(DialogView& view, Clock& clock, std::string profilePath);
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
    // use. False when the address is not valid or no socket can be made; the program then ends
    // with exit code 3.
    bool OpenAgentSocket();

    // The PING button: three echoes to the agent, one status-log line each.
    void OnPing();

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
    CrcText crcText{};

private:
    // Local host name and address for the two boxes; failures show an error box unless the run
    // is a command-line run.
    std::string LocalHostName();
    std::uint32_t LocalAddress(const std::string& hostName);
    void ShowErrorBoxUnlessCommandLine(std::string_view text);
    void ApplyFileControls(int type);
    // Ends the program with exit code 3 after an address or socket failure.
    void EndWithNetworkFailure();

    DialogView& view;
    Clock& clock;
    IniProfile profile;
    StatusDisplay display;
    CLocalFile localFile;
    net::UdpEndpoint udpEndpoint;
    TftpChannel channel;
    net::CPingService pingService;
    bool pingRunning = false;
};

}  // namespace kalvoran

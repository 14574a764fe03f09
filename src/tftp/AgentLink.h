// One agent, and everything a run needs to work with it: the socket aimed at the agent, the
// channel over it, the ping service, the local file, and the three sessions. A front end (the
// window, the command-line run, a fleet worker) hands it a Transfer and runs one of the chains
// the window's buttons run; it gets back a typed ChainOutcome, and learns of the chain's
// progress through the StatusDisplay's observer. The link writes the status log as every front
// end shows it: the sessions' lines and, after each session, the completion report.
//
// A cancel (the close operation, a stop signal) only raises a flag; the running session sees it
// at its next check and returns, and the link then releases its resources: never from inside a
// nested pump, where a session still uses them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "files/LocalFile.h"
#include "net/PingService.h"
#include "net/UdpEndpoint.h"
#include "tftp/Clock.h"
#include "tftp/FetchSession.h"
#include "tftp/Outcome.h"
#include "tftp/SendSession.h"
#include "tftp/SessionContext.h"
#include "tftp/StatusDisplay.h"
#include "tftp/StatusReport.h"
#include "tftp/TftpChannel.h"
#include "tftp/Transfer.h"

namespace kalvoran {

// How a chain ended.
enum class ChainEnd {
    Success,
    NoPingAnswer,    // the agent answered no ping
    Refused,         // refused locally: the type, the file, the options
    Cancelled,       // the close operation or a stop signal
    NetworkFailure,  // the address, the socket, an ERROR from the agent, missing answers
    JobFailed,       // the agent took the file and reported that its job failed
    NoFinalStatus,   // the agent took the file and gave no final status (or not the one awaited)
};

// The number a run ends with: 0 success, 1 no ping answer, 2 refused or cancelled, 3 network or
// protocol failure, and the fleet's 4: the agent's job failed or gave no final status.
int ResultCodeOf(ChainEnd end);

struct ChainOutcome {
    ChainEnd end = ChainEnd::Success;
    // Why, in the words the log, a box or the failure stream used; empty on success.
    std::string reason;
    // The outcome of each kind of session the chain ran (a status poll: its last read).
    std::optional<Outcome> send;
    std::optional<Outcome> status;
    std::optional<Outcome> fetch;

    // What the last status read said, and its text ("" when none was served).
    StatusVerdict Verdict() const { return status ? status->verdict : StatusVerdict::None; }
    const std::string& StatusText() const;
    // The bytes the chain's transfer moved (the fetch's, else the send's, else a status read's).
    std::int64_t Bytes() const;
};

// What a link is built with besides its display and clock.
struct LinkSetup {
    // The End step of an interactive session waits up to 5 seconds for one late datagram from
    // the agent; a run that nobody watches ends at once.
    bool lateWait = true;
    // The socket the sessions use: the link's own UDP socket unless a test hands in another.
    net::DatagramSocket* socket = nullptr;
    // The ICMP module to ping with; nullptr: the one installed with the program.
    const char* pingModule = nullptr;
};

class AgentLink {
public:
    AgentLink(StatusDisplay& display, Clock& clock, LinkSetup setup = {});
    AgentLink(const AgentLink&) = delete;
    AgentLink& operator=(const AgentLink&) = delete;

    // The chains. Each resolves the transfer's agent address and opens the socket first (an
    // address that is no agent's, or no socket, ends it with NetworkFailure and a box).
    // Send: the file to the agent.
    ChainOutcome Send(const Transfer& transfer);
    // SendThenPoll: the send, then, after a success, the agent's status asked up to 20 times
    // until a final one comes; the verdict decides the end (JobFailed, NoFinalStatus).
    ChainOutcome SendThenPoll(const Transfer& transfer);
    // ConfigFile: the request file sent, the status polled until "Config file done", a 10 s
    // pause while the agent writes the file, and the fetch into fetch's local path.
    ChainOutcome ConfigFile(const Transfer& request, const Transfer& fetch);
    ChainOutcome Fetch(const Transfer& transfer);
    // The status poll alone: the agent asked up to 20 times until a final status comes; a
    // success when it says the job went well.
    ChainOutcome PollStatus(const Transfer& transfer);
    // One status read; any text the agent serves is a success.
    ChainOutcome ReadStatus(const Transfer& transfer);
    // The PING button: three echoes, one status-log line each.
    ChainOutcome Ping(const Transfer& transfer);

    // The close operation's part in the link: the completion report of a failure, the cancel
    // flag raised, and the resources released (after the running session has returned).
    void Close();
    // Releases the file, the socket and the ping module; while a chain runs, once it returns.
    void Release();
    bool Cancelled() const { return display.CancelRequested(); }
    // Whether the End step waits for a late datagram (see LinkSetup).
    void SetLateWait(bool wait) { context.lateWait = wait; }

    // The result code as a window or a command line ends with it: the last session's, 0 after a
    // status poll, 3 after an address or socket failure, 2 after a close.
    int ResultCode() const { return resultCode; }
    void SetResultCode(int code) { resultCode = code; }
    // Set by every failing end and by a close; while set no completion lines are written.
    bool FailureFlag() const { return failureFlag; }
    // The type of the transfer the last chain ran, whose completion lines a report writes.
    int TransferType() const { return transferType; }

private:
    class Running;

    // Resolves the transfer's address into the destination of requests and the ping target.
    // False, with the box shown, for an address that is no agent's.
    bool Aim(const Transfer& transfer, ChainOutcome& chain);
    // Every session starts here: Aim, and the socket opened on first use. False, with result
    // code 3 and the failure flag set, when either fails.
    bool Open(const Transfer& transfer, ChainOutcome& chain);
    // Takes a session's outcome over as the run's and writes the completion report.
    void Show(const Outcome& outcome);
    void ReportCompletion(bool report);
    // One status attempt into chain.status; none there when the address or socket failed.
    void ReadOnce(const Transfer& transfer, ChainOutcome& chain);
    // Asks up to 20 times until a final status comes; the last read's outcome goes into chain.
    void PollStatus(const Transfer& transfer, ChainOutcome& chain);
    // A pause between two steps of a chain that the close operation ends at once; false when
    // the run was cancelled.
    bool PauseBetweenSteps(int milliseconds);
    // The end of a chain from its sessions' outcomes; the cancel flag wins.
    ChainOutcome& Conclude(ChainOutcome& chain, const Outcome& last);
    // The end of a poll whose job must have gone well: Cancelled, the failure of the address or
    // the socket, success on Ok, else Judge.
    ChainOutcome& Verified(ChainOutcome& chain);
    // The end of a poll whose verdict is not the one awaited: JobFailed with the agent's text,
    // or NoFinalStatus (withoutText, and why the last read got no text).
    ChainOutcome& Judge(ChainOutcome& chain, std::string_view withoutText);
    ChainOutcome& Failed(ChainOutcome& chain, ChainEnd end, std::string reason);

    StatusDisplay& display;
    Clock& clock;
    CLocalFile localFile;
    net::UdpEndpoint ownSocket;
    net::DatagramSocket& socket;
    TftpChannel channel;
    net::CPingService pingService;
    SessionContext context;
    SendSession sendSession;
    FetchSession fetchSession;
    StatusReport statusReport;

    int resultCode = 0;
    bool failureFlag = false;
    int transferType = 0;
    int chainsRunning = 0;        // chains running (a handler may start one inside another)
    bool releasePending = false;  // Release asked for while a chain ran
};

}  // namespace kalvoran

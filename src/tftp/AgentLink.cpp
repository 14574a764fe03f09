#include "tftp/AgentLink.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <utility>

#include "tftp/ResultCode.h"
#include "tftp/SessionTexts.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

namespace {

constexpr std::string_view kConnectionClosed = "Connection closed";
constexpr std::string_view kSpacerLine = "  ";
constexpr char kNotValidAddressText[] = "Not a valid IP address";
constexpr char kLookupFailedText[] = "gethostbyname: failed";
constexpr char kSocketFailedText[] = "failed to create socket";
constexpr char kGettingStatusText[] = "Getting Status (if available): ";
constexpr char kGettingConfigText[] = "Getting config file: please wait.";
constexpr char kNoFinalStatusText[] = "no final status from the agent";
constexpr char kNoConfigFileText[] = "no \"Config file done\" from the agent";
constexpr char kNoStatusText[] = "no status from the agent";
constexpr char kAgentReportedText[] = "the agent reported: ";

constexpr int kStatusAttempts = 20;
constexpr int kPauseBetweenAttemptsMilliseconds = 200;
// The agent is still writing the configuration it has announced.
constexpr int kConfigReadyMilliseconds = 10000;

constexpr int kPingAttempts = 3;
constexpr int kPingPauseMilliseconds = 500;
constexpr std::time_t kPingAttemptLimitSeconds = 10;

// The reason of a failing end that no session put into words.
std::string_view DefaultReason(ChainEnd end) {
    switch (end) {
        case ChainEnd::NoPingAnswer:
            return kUnableToContactText;
        case ChainEnd::Refused:
            return "refused";
        case ChainEnd::Cancelled:
            return kCancelledText;
        case ChainEnd::NetworkFailure:
            return "network or protocol failure";
        case ChainEnd::JobFailed:
        case ChainEnd::NoFinalStatus:
            return kNoFinalStatusText;
        case ChainEnd::Success:
            break;
    }
    return {};
}

ChainEnd EndOfResultCode(int code) {
    switch (code) {
        case kResultSuccess:
            return ChainEnd::Success;
        case kResultNoPingAnswer:
            return ChainEnd::NoPingAnswer;
        case kResultRefused:
            return ChainEnd::Refused;
        default:
            return ChainEnd::NetworkFailure;
    }
}

}  // namespace

int ResultCodeOf(ChainEnd end) {
    switch (end) {
        case ChainEnd::Success:
            return kResultSuccess;
        case ChainEnd::NoPingAnswer:
            return kResultNoPingAnswer;
        case ChainEnd::Refused:
        case ChainEnd::Cancelled:
            return kResultRefused;
        case ChainEnd::NetworkFailure:
            return kResultNetworkFailure;
        case ChainEnd::JobFailed:
        case ChainEnd::NoFinalStatus:
            return kResultJobFailed;
    }
    return kResultNetworkFailure;
}

const std::string& ChainOutcome::StatusText() const {
    static const std::string kNone;
    return status ? status->statusText : kNone;
}

std::int64_t ChainOutcome::Bytes() const {
    if (fetch) {
        return fetch->bytesMoved;
    }
    if (send) {
        return send->bytesMoved;
    }
    return status ? status->bytesMoved : 0;
}

// While a chain runs, a release waits for its end: the session still uses the file, the socket
// and the ping module further up the stack.
class AgentLink::Running {
public:
    explicit Running(AgentLink& owner) : link(owner) { ++link.chainsRunning; }
    ~Running() {
        if (--link.chainsRunning == 0 && link.releasePending) {
            link.releasePending = false;
            link.Release();
        }
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    AgentLink& link;
};

AgentLink::AgentLink(StatusDisplay& statusDisplay, Clock& systemClock, LinkSetup setup)
    : display(statusDisplay),
      clock(systemClock),
      socket(setup.socket != nullptr ? *setup.socket : ownSocket),
      channel(socket, systemClock, statusDisplay),
      context{channel, pingService, systemClock, statusDisplay, localFile, setup.lateWait},
      sendSession(context),
      fetchSession(context),
      statusReport(context) {
    pingService.SetWaitCallback(&WaitHooks::KeepWindowAliveOf, static_cast<WaitHooks*>(&display));
    if (setup.pingModule != nullptr) {
        pingService.SetModulePath(setup.pingModule);
    }
}

bool AgentLink::Aim(const Transfer& transfer, ChainOutcome& chain) {
    failureFlag = false;
    transferType = TransferTypeInfoOf(transfer.type) != nullptr ? transfer.type : 0;
    const net::Octets& octets = transfer.agent;
    char agentText[16];
    std::snprintf(agentText, sizeof agentText, "%d.%d.%d.%d", octets[0], octets[1], octets[2],
                  octets[3]);
    const char* refusal = nullptr;
    if (octets == net::Octets{}) {
        refusal = kNotValidAddressText;
    } else if (const std::uint32_t address = net::LookupIPv4(agentText); address == 0) {
        refusal = kLookupFailedText;
    } else {
        pingService.SetTarget(address);
        channel.AimAt({address, static_cast<std::uint16_t>(tftp::kTftpPort)});
        return true;
    }
    display.ShowErrorBox(refusal);
    Failed(chain, ChainEnd::NetworkFailure, refusal);
    return false;
}

ChainOutcome AgentLink::Send(const Transfer& transfer) {
    const Running running(*this);
    ChainOutcome chain;
    if (!Open(transfer, chain)) {
        return chain;
    }
    chain.send = sendSession.Run(transfer);
    Show(*chain.send);
    return Conclude(chain, *chain.send);
}

ChainOutcome AgentLink::SendThenPoll(const Transfer& transfer) {
    const Running running(*this);
    ChainOutcome chain = Send(transfer);
    // A close during the send (its late wait included) ends the chain: no status poll follows.
    if (resultCode != kResultSuccess || Cancelled()) {
        return chain;
    }
    PollStatus(transfer, chain);
    display.ResetProgress();
    resultCode = kResultSuccess;
    return Verified(chain);
}

ChainOutcome AgentLink::ConfigFile(const Transfer& request, const Transfer& fetch) {
    const Running running(*this);
    ChainOutcome chain = Send(request);
    if (resultCode != kResultSuccess || Cancelled()) {
        return chain;
    }
    PollStatus(request, chain);
    if (Cancelled()) {
        return Failed(chain, ChainEnd::Cancelled, kCancelledText);
    }
    if (chain.Verdict() != StatusVerdict::ConfigFileDone) {
        return Judge(chain, kNoConfigFileText);
    }
    display.AppendStatusLine(kGettingConfigText);
    if (!PauseBetweenSteps(kConfigReadyMilliseconds)) {
        return Failed(chain, ChainEnd::Cancelled, kCancelledText);
    }
    const ChainOutcome fetched = Fetch(fetch);
    chain.end = fetched.end;
    chain.reason = fetched.reason;
    chain.fetch = fetched.fetch;
    return chain;
}

ChainOutcome AgentLink::Fetch(const Transfer& transfer) {
    const Running running(*this);
    ChainOutcome chain;
    resultCode = kResultSuccess;
    if (!Open(transfer, chain)) {
        return chain;
    }
    chain.fetch = fetchSession.Run(transfer);
    Show(*chain.fetch);
    return Conclude(chain, *chain.fetch);
}

ChainOutcome AgentLink::PollStatus(const Transfer& transfer) {
    const Running running(*this);
    ChainOutcome chain;
    PollStatus(transfer, chain);
    return Verified(chain);
}

ChainOutcome& AgentLink::Verified(ChainOutcome& chain) {
    if (Cancelled()) {
        return Failed(chain, ChainEnd::Cancelled, kCancelledText);
    }
    if (!chain.status) {
        return chain;  // the address or the socket failed
    }
    return chain.Verdict() == StatusVerdict::Ok ? chain : Judge(chain, kNoFinalStatusText);
}

ChainOutcome AgentLink::ReadStatus(const Transfer& transfer) {
    const Running running(*this);
    ChainOutcome chain;
    ReadOnce(transfer, chain);
    if (!chain.status) {
        return chain;  // the address or the socket failed
    }
    const Outcome& read = *chain.status;
    if (Cancelled()) {
        return Failed(chain, ChainEnd::Cancelled, kCancelledText);
    }
    if (!read.statusText.empty()) {
        return chain;  // a status was served, whatever it says
    }
    return Failed(chain, read.agentSilent ? ChainEnd::NoPingAnswer : ChainEnd::NetworkFailure,
                  read.reason.empty() ? kNoStatusText : read.reason);
}

ChainOutcome AgentLink::Ping(const Transfer& transfer) {
    const Running running(*this);
    ChainOutcome chain;
    if (!Aim(transfer, chain)) {
        return chain;
    }
    for (int attempt = 0; attempt < kPingAttempts; ++attempt) {
        const std::time_t start = clock.Now();
        context.Pause(kPingPauseMilliseconds);
        pingService.Ping();
        if (clock.Now() - start >= kPingAttemptLimitSeconds) {
            display.AppendStatusLine(kUnableToContactText);
            failureFlag = true;
            ReportCompletion(true);
            return Failed(chain, ChainEnd::NoPingAnswer, kUnableToContactText);
        }
        display.AppendStatusLine(pingService.resultText);
        display.PumpMessages();
        if (Cancelled()) {
            return Failed(chain, ChainEnd::Cancelled, kCancelledText);
        }
    }
    return chain;
}

bool AgentLink::Open(const Transfer& transfer, ChainOutcome& chain) {
    bool open = Aim(transfer, chain);
    // The socket of an earlier session serves again.
    if (open && !socket.IsOpen() && !socket.Open()) {
        display.ShowErrorBox(kSocketFailedText);
        Failed(chain, ChainEnd::NetworkFailure, kSocketFailedText);
        open = false;
    }
    if (!open) {
        failureFlag = true;
        resultCode = kResultNetworkFailure;
    }
    return open;
}

void AgentLink::ReadOnce(const Transfer& transfer, ChainOutcome& chain) {
    resultCode = kResultSuccess;
    if (Open(transfer, chain)) {
        chain.status = statusReport.ReadAttempt(transfer.options.asked);
        Show(*chain.status);
    }
}

void AgentLink::PollStatus(const Transfer& transfer, ChainOutcome& chain) {
    display.AppendStatusLine(kGettingStatusText);
    bool final = false;
    for (int attempt = 0; attempt < kStatusAttempts && !final; ++attempt) {
        ChainOutcome read;
        ReadOnce(transfer, read);
        if (read.status) {
            chain.status = read.status;
            final = read.status->statusResult != StatusReport::kNotFinal;
        } else {
            // The box has been shown; asking again would show it 20 times.
            Failed(chain, read.end, read.reason);
            final = true;
        }
        if (!PauseBetweenSteps(kPauseBetweenAttemptsMilliseconds)) {
            break;
        }
    }
    display.ResetProgress();
}

bool AgentLink::PauseBetweenSteps(int milliseconds) {
    for (int left = milliseconds; left > 0 && !Cancelled(); left -= kPauseSliceMilliseconds) {
        clock.Sleep(std::min(left, kPauseSliceMilliseconds));
        display.PumpMessages();
    }
    return !Cancelled();
}

void AgentLink::Show(const Outcome& outcome) {
    resultCode = outcome.resultCode;
    // The close operation may have set the flag while the session ran.
    failureFlag = failureFlag || outcome.failed;
    ReportCompletion(outcome.report);
}

ChainOutcome& AgentLink::Conclude(ChainOutcome& chain, const Outcome& last) {
    if (Cancelled()) {
        return Failed(chain, ChainEnd::Cancelled, kCancelledText);
    }
    const ChainEnd end = EndOfResultCode(last.resultCode);
    if (end == ChainEnd::Success) {
        chain.end = end;
        chain.reason.clear();
        return chain;
    }
    return Failed(chain, end, last.reason);
}

ChainOutcome& AgentLink::Judge(ChainOutcome& chain, std::string_view withoutText) {
    const std::string& text = chain.StatusText();
    const ChainEnd end =
        chain.Verdict() == StatusVerdict::JobFailed ? ChainEnd::JobFailed : ChainEnd::NoFinalStatus;
    if (!text.empty()) {
        return Failed(chain, end, kAgentReportedText + text);
    }
    std::string reason(withoutText);
    if (chain.status && !chain.status->reason.empty()) {
        reason += " (" + chain.status->reason + ")";
    }
    return Failed(chain, end, std::move(reason));
}

ChainOutcome& AgentLink::Failed(ChainOutcome& chain, ChainEnd end, std::string reason) {
    chain.end = end;
    chain.reason = reason.empty() ? std::string(DefaultReason(end)) : std::move(reason);
    return chain;
}

void AgentLink::ReportCompletion(bool report) {
    if (!report) {
        return;
    }
    display.AppendStatusLine(kConnectionClosed);
    display.AppendStatusLine(kSpacerLine);
    display.AppendStatusLine(kSpacerLine);
    if (failureFlag) {
        return;
    }
    if (const TransferTypeInfo* info = TransferTypeInfoOf(transferType)) {
        for (std::string_view line : info->completionLines) {
            display.AppendStatusLine(line);
        }
    }
}

void AgentLink::Close() {
    failureFlag = true;
    ReportCompletion(true);
    display.RaiseCancel();
    Release();
}

void AgentLink::Release() {
    if (chainsRunning > 0) {
        releasePending = true;
        return;
    }
    localFile.Close();
    socket.Close();
    pingService.Release();
}

}  // namespace kalvoran

#include "fleet/AgentWork.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <utility>

#include "fleet/Paths.h"
#include "tftp/Clock.h"
#include "tftp/ConsoleReport.h"
#include "tftp/StopSignals.h"

namespace kalvoran::fleet {

namespace {

// The fleet's view is brought up to date at most this often.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// What the fleet sees of the chain: its progress (at most every 100 ms, at once when a new step
// begins); and the fleet's cancel, a SIGTERM, taken at the next pump as the close operation.
class WorkObserver final : public LinkObserver {
public:
    explicit WorkObserver(int fd) : reportFd(fd) {}

    void PhaseBegun(LinkPhase phase) override {
        progress = AgentProgress{std::string(PhaseName(phase)), 0, 0, 0};
        Send(true);
    }
    void ProgressChanged(const Progress& changed) override {
        progress.done = changed.done;
        progress.total = changed.total;
        Send(false);
    }
    void BytesCounted(std::int64_t bytes) override {
        progress.bytes = bytes;
        Send(false);
    }
    void Pump() override {
        if (onStop && caught.Take()) {
            std::exchange(onStop, nullptr)();
        }
    }

    std::function<void()> onStop;

private:
    void Send(bool now) {
        const auto time = std::chrono::steady_clock::now();
        if (now || time - lastSent >= kProgressInterval) {
            lastSent = time;
            WriteMessage(reportFd, ProgressMessage(progress));
        }
    }

    int reportFd;
    StopSignals caught{SIGTERM};
    AgentProgress progress;
    std::chrono::steady_clock::time_point lastSent{};
};

}  // namespace

ChainOutcome RunJob(const AgentJob& job, AgentLink& link) {
    const auto transfer = [&job](int type, const std::string& path) {
        Transfer built{type, path, job.agent, {}};
        built.options.asked = job.asked;
        return built;
    };
    // The file sent is the one the fleet checked, or nothing is sent in full.
    const auto sent = [&job, &transfer](int type) {
        Transfer built = transfer(type, job.file);
        built.options.expected = job.identity;
        return built;
    };
    switch (job.action) {
        case Action::Send:
            return job.verify ? link.SendThenPoll(sent(job.sendType))
                              : link.Send(sent(job.sendType));
        case Action::Eeprom:
            return link.Fetch(transfer(READ_EEPROM_FILE, job.destination));
        case Action::ConfigFile:
            return link.ConfigFile(sent(CREATE_CONFIG_FILE),
                                   transfer(CREATE_CONFIG_FILE, job.destination));
        case Action::Status:
        case Action::History:  // never an agent's work: it reads the ledger only
            break;
    }
    return link.ReadStatus(transfer(APPLICATION_UPGRADE, {}));
}

AgentEnd EndOf(const ChainOutcome& chain) {
    return AgentEnd{ResultCodeOf(chain.end), chain.reason, chain.Bytes(), chain.StatusText(), {}};
}

int RunAgentWork(const AgentJob& job, int reportFd) {
    std::string logError;
    std::FILE* log = OpenAgentLog(job.logPath, job.appendLog, logError);
    ConsoleReport console(log, nullptr);
    console.Enable();
    WorkObserver observer(reportFd);
    StatusDisplay display(observer, console);
    SystemClock clock;
    AgentLink link(display, clock, LinkSetup{false, nullptr, nullptr});
    observer.onStop = [&link] { link.Close(); };
    AgentEnd end = EndOf(RunJob(job, link));
    link.Release();
    if ((log != nullptr && std::fclose(log) != 0) || console.LogLost()) {
        logError = "not all of it could be written";
    }
    end.logError = logError;
    WriteMessage(reportFd, EndMessage(end));
    return end.result;
}

}  // namespace kalvoran::fleet

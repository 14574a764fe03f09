#include "fleet/FleetRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

#include "files/LocalFile.h"

namespace kalvoran::fleet {

namespace {

constexpr auto kRefreshInterval = std::chrono::milliseconds(100);
// A worker that does not end within this long of its SIGTERM (a cancel) is killed.
constexpr auto kCancelGrace = std::chrono::seconds(30);

double SecondsBetween(FleetClock::time_point from, FleetClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The child side of a fork: nothing of the fleet's terminal or descriptors, the cancel on
// SIGTERM, and the work.
[[noreturn]] void RunWorker(const AgentJob& job, int reportFd, pid_t fleet) {
    // The terminal's Ctrl-C and hang-up reach the fleet, which cancels the workers with SIGTERM;
    // that one waits, blocked, until the work catches it (a handler inherited from the fleet
    // would write into a descriptor this process reuses).
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGHUP, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t term;
    ::sigemptyset(&term);
    ::sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &term, nullptr);
    // A worker never outlives the fleet (killed, even with SIGKILL): it is cancelled as by the
    // fleet's own SIGTERM, and one whose fleet ended before this took effect does not start.
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != fleet) {
        ::_exit(kResultRefused);
    }
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
    }
    if (::dup2(reportFd, 3) == 3) {
        ::close_range(4, ~0U, 0);
    }
    ::_exit(RunAgentWork(job, 3));
}

class Fleet {
public:
    Fleet(const FleetPlan& fleetPlan, FleetDisplay& fleetDisplay, StopSignals& stopSignals)
        : plan(fleetPlan), display(fleetDisplay), stops(stopSignals) {
        states.resize(plan.agents.size());
        for (std::size_t i = 0; i < states.size(); ++i) {
            states[i].agent = plan.agents[i];
            states[i].record.address = plan.agents[i].address;
            states[i].record.label = plan.agents[i].label;
            states[i].record.action = std::string(ActionName(plan.command.action));
            queue.push_back(i);
        }
    }

    FleetResult Run() {
        FleetResult result;
        bool& atOnce = result.atOnce;
        start = FleetClock::now();
        nextStart = start;
        while (Unfinished()) {
            StartWhatMay();
            Wait();
            if (stops.Count() >= 2) {
                KillAll();
                atOnce = true;
                break;
            }
            if (stops.Count() == 1 && !cancelling) {
                Cancel();
            }
            EnforceDeadlines();
            const auto now = FleetClock::now();
            if (now - lastRefresh >= kRefreshInterval) {
                Refresh(now);
            }
        }
        result.interrupted = cancelling || atOnce;
        for (const AgentState& state : states) {
            result.records.push_back(state.record);
            if (!state.logProblem.empty()) {
                result.logProblems.push_back(LogPathOf(plan, state.agent) + ": " +
                                             state.logProblem);
            }
        }
        return result;
    }

private:
    bool Unfinished() const {
        return std::any_of(states.begin(), states.end(), [](const AgentState& state) {
            return state.stage != AgentState::Stage::Done;
        });
    }

    int Running() const {
        return static_cast<int>(std::count_if(states.begin(), states.end(), [](const auto& s) {
            return s.stage == AgentState::Stage::Running;
        }));
    }

    void StartWhatMay() {
        while (!cancelling && !queue.empty() && Running() < plan.command.jobs &&
               FleetClock::now() >= nextStart) {
            const std::size_t index = queue.front();
            queue.pop_front();
            StartAttempt(states[index]);
            nextStart =
                FleetClock::now() + std::chrono::duration_cast<FleetClock::duration>(
                                        std::chrono::duration<double>(plan.command.pauseSeconds));
        }
    }

    void StartAttempt(AgentState& state) {
        AgentJob job;
        job.action = plan.command.action;
        job.sendType = plan.command.sendType;
        job.file = plan.command.file;
        job.identity = plan.file;
        job.destination = DestinationOf(plan, state.agent);
        job.verify = plan.command.verify;
        job.asked = plan.command.asked;
        job.agent = state.agent.octets;
        job.logPath = LogPathOf(plan, state.agent);
        job.appendLog = state.record.attempts > 0;

        const auto now = FleetClock::now();
        if (state.record.attempts == 0) {
            state.firstStart = now;
        }
        state.attemptStart = now;
        state.attemptStartedAt = std::chrono::system_clock::now();
        ++state.record.attempts;
        state.stage = AgentState::Stage::Running;
        state.ended = false;
        state.overdue = false;
        state.end = AgentEnd{};
        state.received.clear();
        state.progress = AgentProgress{std::string(PhaseName(LinkPhase::Ping)), 0, 0, 0};
        state.attemptDeadline = now + std::chrono::duration_cast<FleetClock::duration>(
                                          std::chrono::duration<double>(plan.deadlineSeconds));
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            Finish(state, kResultRefused, std::string("cannot start: ") + std::strerror(errno));
            return;
        }
        std::fflush(nullptr);  // nothing buffered is written twice
        const pid_t fleet = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            RunWorker(job, fds[1], fleet);
        }
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            Finish(state, kResultRefused, std::string("cannot start: ") + std::strerror(errno));
            return;
        }
        state.pid = pid;
        state.fd = fds[0];
    }

    void Wait() {
        std::vector<pollfd> polled;
        std::vector<AgentState*> owners;
        polled.push_back({stops.Fd(), POLLIN, 0});
        owners.push_back(nullptr);
        for (AgentState& state : states) {
            if (state.stage == AgentState::Stage::Running && state.fd >= 0) {
                polled.push_back({state.fd, POLLIN, 0});
                owners.push_back(&state);
            }
        }
        const std::size_t output = polled.size();
        if (display.WaitingOutput() >= 0) {
            polled.push_back({display.WaitingOutput(), POLLOUT, 0});
        }
        const auto now = FleetClock::now();
        auto wake = now + kRefreshInterval;
        if (!cancelling && !queue.empty() && nextStart > now) {
            wake = std::min(wake, nextStart);
        }
        const int timeout = static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1));
        if (::poll(polled.data(), polled.size(), timeout) <= 0) {
            return;
        }
        if ((polled[0].revents & POLLIN) != 0) {
            stops.DrainWakeUps();
        }
        for (std::size_t i = 1; i < output; ++i) {
            if (polled[i].revents != 0) {
                Read(*owners[i]);
            }
        }
        if (output < polled.size() && polled[output].revents != 0) {
            display.OutputReady();
        }
    }

    void Read(AgentState& state) {
        char chunk[4096];
        const ssize_t got = ::read(state.fd, chunk, sizeof chunk);
        if (got > 0) {
            state.received.append(chunk, static_cast<std::size_t>(got));
            std::size_t lineEnd = 0;
            while ((lineEnd = state.received.find('\n')) != std::string::npos) {
                AgentMessage message;
                if (ReadAgentMessage(std::string_view(state.received).substr(0, lineEnd),
                                     message)) {
                    if (message.isEnd) {
                        state.ended = true;
                        state.end = message.end;
                    } else {
                        state.progress = message.progress;
                    }
                }
                state.received.erase(0, lineEnd + 1);
            }
            return;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            return;
        }
        EndAttempt(state);  // the worker has closed its end: it has ended
    }

    void EndAttempt(AgentState& state) {
        ::close(state.fd);
        state.fd = -1;
        int status = 0;
        while (::waitpid(state.pid, &status, 0) < 0 && errno == EINTR) {
        }
        state.pid = -1;
        // A fetch killed at its deadline (or by anyone) cannot remove its own partial copy.
        if (!state.ended && !plan.command.folder.empty()) {
            CLocalFile::RemoveAbandonedReplacements(plan.command.folder);
        }
        if (!state.ended) {
            const std::string how = WIFSIGNALED(status)
                                        ? "signal " + std::to_string(WTERMSIG(status))
                                        : "exit code " + std::to_string(WEXITSTATUS(status));
            state.end.result = kResultNetworkFailure;
            state.end.reason = state.overdue
                                   ? "no end within " +
                                         std::to_string(static_cast<int>(plan.deadlineSeconds)) +
                                         " s: stopped"
                                   : "the agent's work ended unexpectedly (" + how + ")";
        }
        const int result = state.end.result;
        const bool repeatable = result == kResultNoPingAnswer || result == kResultNetworkFailure;
        if (repeatable && !cancelling && state.record.attempts <= plan.command.retries) {
            display.AttemptEnded(state);
            state.stage = AgentState::Stage::Waiting;
            queue.push_back(static_cast<std::size_t>(&state - states.data()));
            return;
        }
        state.record.bytes = state.end.bytes;
        state.record.status = state.end.status;
        state.logProblem = state.end.logError;
        Finish(state, result, state.end.reason);
    }

    void Finish(AgentState& state, int result, std::string reason) {
        state.stage = AgentState::Stage::Done;
        state.record.result = result;
        state.record.reason = std::move(reason);
        state.record.seconds =
            state.record.attempts > 0 ? SecondsBetween(state.firstStart, FleetClock::now()) : 0;
        if (result == kResultSuccess) {
            ++succeeded;
        } else {
            ++failed;
        }
        display.Finished(state);
    }

    void EnforceDeadlines() {
        const auto now = FleetClock::now();
        for (AgentState& state : states) {
            if (state.stage == AgentState::Stage::Running && state.pid > 0 &&
                now >= state.attemptDeadline) {
                ::kill(state.pid, SIGKILL);  // its pipe then ends and the attempt with it
                state.overdue = true;
                state.attemptDeadline = FleetClock::time_point::max();
            }
        }
    }

    // No new agent starts; the running ones are cancelled as the client's close operation
    // cancels a session, and the waiting ones end unstarted.
    void Cancel() {
        cancelling = true;
        for (AgentState& state : states) {
            if (state.stage == AgentState::Stage::Running && state.pid > 0) {
                ::kill(state.pid, SIGTERM);
                state.attemptDeadline =
                    std::min(state.attemptDeadline,
                             FleetClock::now() +
                                 std::chrono::duration_cast<FleetClock::duration>(kCancelGrace));
            }
        }
        while (!queue.empty()) {
            AgentState& state = states[queue.front()];
            queue.pop_front();
            Finish(state, kResultRefused,
                   state.record.attempts == 0 ? "Cancelled before it started." : "Cancelled.");
        }
    }

    void KillAll() {
        for (AgentState& state : states) {
            if (state.stage == AgentState::Stage::Running && state.pid > 0) {
                ::kill(state.pid, SIGKILL);
                while (::waitpid(state.pid, nullptr, 0) < 0 && errno == EINTR) {
                }
                if (!plan.command.folder.empty()) {
                    CLocalFile::RemoveAbandonedReplacements(plan.command.folder);
                }
                ::close(state.fd);
                state.pid = -1;
                state.fd = -1;
                state.stage = AgentState::Stage::Done;
                state.record.result = kResultRefused;
                state.record.reason = "Cancelled.";
            }
        }
    }

    void Refresh(FleetClock::time_point now) {
        lastRefresh = now;
        std::vector<const AgentState*> running;
        FleetTotals totals;
        for (const AgentState& state : states) {
            if (state.stage == AgentState::Stage::Running) {
                running.push_back(&state);
            } else if (state.stage == AgentState::Stage::Waiting) {
                ++totals.waiting;
            }
        }
        totals.done = succeeded;
        totals.failed = failed;
        totals.running = static_cast<int>(running.size());
        totals.elapsedSeconds = SecondsBetween(start, now);
        totals.leftSeconds =
            LeftSeconds(running, succeeded + failed, totals.waiting, totals.elapsedSeconds, now);
        display.Refresh(running, totals);
    }

    const FleetPlan& plan;
    FleetDisplay& display;
    StopSignals& stops;
    std::vector<AgentState> states;
    std::deque<std::size_t> queue;
    FleetClock::time_point start{};
    FleetClock::time_point nextStart{};
    FleetClock::time_point lastRefresh{};
    bool cancelling = false;
    int succeeded = 0;
    int failed = 0;
};

}  // namespace

std::string DestinationOf(const FleetPlan& plan, const InventoryAgent& agent) {
    switch (plan.command.action) {
        case Action::Eeprom:
            return plan.command.folder + "/" + agent.address + ".eeprom.bin";
        case Action::ConfigFile:
            return plan.command.folder + "/" + agent.address + ".config.cfg";
        case Action::Send:
        case Action::Status:
        case Action::History:
            break;
    }
    return {};
}

std::string LogPathOf(const FleetPlan& plan, const InventoryAgent& agent) {
    return plan.logsFolder + "/" + agent.address + ".log";
}

FleetResult RunFleet(const FleetPlan& plan, FleetDisplay& display) {
    // SIGINT, SIGTERM or a closed terminal (SIGHUP) cancel; a second one ends at once.
    StopSignals stops;
    Fleet fleet(plan, display, stops);
    return fleet.Run();
}

double LeftSeconds(const std::vector<const AgentState*>& running, int finished, int waiting,
                   double elapsedSeconds, FleetClock::time_point now) {
    const int left = waiting + static_cast<int>(running.size());
    if (finished <= 0 || left <= 0) {
        return -1;
    }
    double seconds = elapsedSeconds / finished * left;
    for (const AgentState* state : running) {
        const int percent = state->progress.Percent();
        if (percent > 0) {
            const double taken = SecondsBetween(state->firstStart, now);
            seconds = std::max(seconds, taken * (100 - percent) / percent);
        }
    }
    return seconds;
}

int FleetExitCode(const std::vector<AgentRecord>& records) {
    int code = 0;
    for (const AgentRecord& record : records) {
        code = std::max(code, record.result);
    }
    return code;
}

}  // namespace kalvoran::fleet

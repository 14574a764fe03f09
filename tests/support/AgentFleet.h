// Many agent-sim programs at once, one per loopback address, for tests and benchmarks that need
// a fleet of agents: all are started side by side and then waited for, so that a hundred are up
// about as soon as one; each keeps its files in a folder of its own; the destructor stops them
// all (SIGTERM, then SIGKILL for any still running after a deadline).
//
// Every agent is started as
//   agent-sim --address A --dir DIR --port P [options for all] [options for that agent]
// with P 69 when the test runs as root and 0 (a port the system chooses) otherwise. The agent
// takes the last of repeated options, so --port may be given again; --address and --dir must not,
// as Address() and Dir() would then be wrong.
//
// An agent's standard output and error go to a pipe that is read only by Output(): a --verbose
// agent that logs more than the pipe holds (64 KiB, about a thousand transfers) between two
// calls waits for the next one.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "tools/AgentProcess.h"

namespace kalvoran::testing {

// One agent of a fleet: its address and the options for it alone.
struct AgentLaunch {
    std::string address;
    std::vector<std::string> args = {};
};

class AgentFleet {
public:
    static constexpr int kReadyTimeoutMs = 10000;  // for all the agents of one Start
    static constexpr int kStopTimeoutMs = 3000;    // before SIGKILL

    // The agents' folders go under a temporary folder, removed with the fleet.
    AgentFleet() : temporary(std::make_unique<TempDir>()), root(temporary->Path()) {}
    // The agents' folders go under root (created if missing), which the fleet leaves in place.
    explicit AgentFleet(std::filesystem::path folder) : root(std::move(folder)) {}
    ~AgentFleet() { StopAll(); }
    AgentFleet(const AgentFleet&) = delete;
    AgentFleet& operator=(const AgentFleet&) = delete;

    // Starts count agents on prefix + first, prefix + (first + 1), ...: ("127.0.20.", 1, 20)
    // gives 127.0.20.1 to 127.0.20.20.
    bool Start(const std::string& prefix, int first, int count,
               const std::vector<std::string>& argsForAll = {}) {
        std::vector<AgentLaunch> agents;
        for (int k = 0; k < count; ++k) {
            agents.push_back({prefix + std::to_string(first + k)});
        }
        return Start(agents, argsForAll);
    }

    // Starts one agent on each address.
    bool Start(const std::vector<std::string>& addresses,
               const std::vector<std::string>& argsForAll = {}) {
        std::vector<AgentLaunch> agents;
        for (const std::string& address : addresses) {
            agents.push_back({address});
        }
        return Start(agents, argsForAll);
    }

    // Starts one agent per launch, with argsForAll and then that agent's own options. The agents
    // are added after those already in the fleet, so indexes go on from Size(). Returns once
    // every one has printed its ready line, or false (with Error() telling which failed and
    // why) when one could not start: that one is ended, the others are kept.
    bool Start(const std::vector<AgentLaunch>& agents,
               const std::vector<std::string>& argsForAll = {}) {
        error.clear();
        if (root.empty()) {
            error = "no folder for the agents";
            return false;
        }
        std::vector<std::size_t> launched;
        for (const AgentLaunch& launch : agents) {
            Member& member = members.emplace_back();
            member.address = launch.address;
            member.dir = root / launch.address;
            member.process = std::make_unique<agentsim::testing::AgentProcess>();
            std::vector<std::string> args = {"--address", launch.address,
                                             "--dir",     member.dir.string(),
                                             "--port",    ::geteuid() == 0 ? "69" : "0"};
            args.insert(args.end(), argsForAll.begin(), argsForAll.end());
            args.insert(args.end(), launch.args.begin(), launch.args.end());
            if (member.process->Launch(std::move(args))) {
                launched.push_back(members.size() - 1);
            } else {
                Fail(members.size() - 1, "could not be started");
            }
        }
        const auto deadline = Deadline(kReadyTimeoutMs);
        for (const std::size_t i : launched) {
            if (!members[i].process->WaitReady(deadline)) {
                members[i].process->Stop(Deadline(kStopTimeoutMs));
                Fail(i, "did not get ready: " + members[i].process->Output());
            }
        }
        return error.empty();
    }

    std::size_t Size() const { return members.size(); }
    const std::string& Address(std::size_t i) const { return members.at(i).address; }
    // The port the agent listens on, from its ready line (0 before it was ready).
    int Port(std::size_t i) const { return members.at(i).process->Port(); }
    // The folder the agent keeps its received files in and serves files from.
    const std::filesystem::path& Dir(std::size_t i) const { return members.at(i).dir; }
    // What the agent has written so far: its ready line, then its log with --verbose.
    const std::string& Output(std::size_t i) { return members.at(i).process->Output(); }
    // Whether the agent still runs (not stopped, killed, or ended by itself).
    bool Running(std::size_t i) { return members.at(i).process->Running(); }
    pid_t Pid(std::size_t i) const { return members.at(i).process->Pid(); }

    // Ends one agent with SIGTERM; its exit code (0), or -1 when it had to be killed.
    int Stop(std::size_t i) { return members.at(i).process->Stop(Deadline(kStopTimeoutMs)); }
    // Ends one agent at once with SIGKILL, as a crash would; returns 128 + SIGKILL.
    int Kill(std::size_t i) { return members.at(i).process->Kill(); }

    // Ends every agent still running: SIGTERM to all first, then each is waited for until one
    // common deadline and killed after it.
    void StopAll() {
        for (Member& member : members) {
            member.process->RequestStop();
        }
        const auto deadline = Deadline(kStopTimeoutMs);
        for (Member& member : members) {
            member.process->Stop(deadline);
        }
    }

    // Why the last Start failed, one line per agent; empty after a Start that succeeded.
    const std::string& Error() const { return error; }

private:
    struct Member {
        std::string address;
        std::filesystem::path dir;
        std::unique_ptr<agentsim::testing::AgentProcess> process;
    };

    void Fail(std::size_t i, const std::string& why) {
        error += "agent " + std::to_string(i) + " on " + members[i].address + " " + why + "\n";
    }

    std::unique_ptr<TempDir> temporary;
    std::filesystem::path root;
    std::vector<Member> members;
    std::string error;
};

}  // namespace kalvoran::testing

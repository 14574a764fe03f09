// Running the agent-sim program and the tftp/curl clients from a test, each bounded in time so
// that a broken build or a hung peer fails the test instead of hanging it.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ProgramPath.h"

namespace kalvoran::agentsim::testing {

using kalvoran::testing::BinDir;
using kalvoran::testing::Deadline;
using kalvoran::testing::ReadUntil;
using kalvoran::testing::Reap;
using kalvoran::testing::RunProgram;
using kalvoran::testing::RunResult;
using kalvoran::testing::Spawn;

// The agent-sim program, stopped with SIGTERM (and killed if need be) when the object goes.
class AgentProcess {
public:
    AgentProcess() = default;
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;
    ~AgentProcess() { Stop(); }

    // Starts the program with args and waits for its "ready ADDRESS:PORT" line.
    bool Start(std::vector<std::string> args) {
        return Launch(std::move(args)) && WaitReady(Deadline(5000));
    }

    // Starts the program without waiting, so that many can start side by side before
    // WaitReady is called for each.
    bool Launch(std::vector<std::string> args) {
        args.insert(args.begin(), (BinDir() / "agent-sim").string());
        pid = Spawn(args, fd);
        return pid > 0;
    }

    // Waits until the deadline for the "ready ADDRESS:PORT" line and reads the port from it.
    bool WaitReady(std::chrono::steady_clock::time_point deadline) {
        if (pid <= 0 || !ReadUntil(fd, output, deadline, "\n") || output.rfind("ready ", 0) != 0) {
            return false;
        }
        const std::size_t colon = output.find(':');
        const std::size_t end = output.find('\n');
        if (colon == std::string::npos || colon > end) {
            return false;
        }
        port = std::atoi(output.c_str() + colon + 1);
        return port > 0;
    }

    // Asks the program to end with SIGTERM without waiting for it.
    void RequestStop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
        }
    }

    // Sends SIGTERM and returns the exit code (-1 when it had to be killed at the deadline).
    int Stop() { return Stop(Deadline(3000)); }
    int Stop(std::chrono::steady_clock::time_point deadline) {
        if (pid <= 0) {
            return exitCode;
        }
        ::kill(pid, SIGTERM);
        return Finish(Reap(pid, deadline));
    }

    // Ends the program at once with SIGKILL, as a crash or a power cut would; returns 128+9.
    int Kill() {
        if (pid <= 0) {
            return exitCode;
        }
        ::kill(pid, SIGKILL);
        return Finish(Reap(pid, Deadline(3000)));
    }

    // Whether the program still runs; one that has ended by itself is reaped here.
    bool Running() {
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, WNOHANG) == pid) {
            Finish(kalvoran::testing::ExitCodeOf(status));
        }
        return pid > 0;
    }
    pid_t Pid() const { return pid; }
    int Port() const { return port; }
    // What the program has written so far (its log lines with --verbose).
    const std::string& Output() {
        if (pid > 0) {
            ReadUntil(fd, output, Deadline(100), nullptr);
        }
        return output;
    }

private:
    int Finish(int code) {
        exitCode = code;
        ReadUntil(fd, output, Deadline(100), nullptr);
        ::close(fd);
        fd = -1;
        pid = -1;
        return exitCode;
    }

    pid_t pid = -1;
    int fd = -1;
    int port = 0;
    int exitCode = -1;
    std::string output;
};

}  // namespace kalvoran::agentsim::testing

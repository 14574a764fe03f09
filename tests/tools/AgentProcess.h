// Running the agent-sim program and the tftp/curl clients from a test, each bounded in time so
// that a broken build or a hung peer fails the test instead of hanging it.
#pragma once

#include <signal.h>
#include <unistd.h>

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
        args.insert(args.begin(), (BinDir() / "agent-sim").string());
        pid = Spawn(args, fd);
        if (pid < 0) {
            return false;
        }
        if (!ReadUntil(fd, output, Deadline(5000), "\n") || output.rfind("ready ", 0) != 0) {
            return false;
        }
        const std::size_t colon = output.rfind(':');
        port = std::atoi(output.c_str() + colon + 1);
        return true;
    }

    // Sends SIGTERM and returns the exit code (-1 when it had to be killed).
    int Stop() {
        if (pid <= 0) {
            return exitCode;
        }
        ::kill(pid, SIGTERM);
        exitCode = Reap(pid, Deadline(3000));
        ReadUntil(fd, output, Deadline(100), nullptr);
        ::close(fd);
        pid = -1;
        return exitCode;
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
    pid_t pid = -1;
    int fd = -1;
    int port = 0;
    int exitCode = -1;
    std::string output;
};

}  // namespace kalvoran::agentsim::testing

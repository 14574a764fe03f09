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
        pid_ = Spawn(args, fd_);
        if (pid_ < 0) {
            return false;
        }
        if (!ReadUntil(fd_, output_, Deadline(5000), "\n") || output_.rfind("ready ", 0) != 0) {
            return false;
        }
        const std::size_t colon = output_.rfind(':');
        port_ = std::atoi(output_.c_str() + colon + 1);
        return true;
    }

    // Sends SIGTERM and returns the exit code (-1 when it had to be killed).
    int Stop() {
        if (pid_ <= 0) {
            return exitCode_;
        }
        ::kill(pid_, SIGTERM);
        exitCode_ = Reap(pid_, Deadline(3000));
        ReadUntil(fd_, output_, Deadline(100), nullptr);
        ::close(fd_);
        pid_ = -1;
        return exitCode_;
    }

    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    // What the program has written so far (its log lines with --verbose).
    const std::string& Output() {
        if (pid_ > 0) {
            ReadUntil(fd_, output_, Deadline(100), nullptr);
        }
        return output_;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int port_ = 0;
    int exitCode_ = -1;
    std::string output_;
};

}  // namespace kalvoran::agentsim::testing

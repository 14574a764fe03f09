// Running the agent-sim program and the tftp/curl clients from a test, each bounded in time so
// that a broken build or a hung peer fails the test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kalvoran::agentsim::testing {

inline std::filesystem::path BinDir() {
    const char* fromEnvironment = std::getenv("KALVORAN_BIN_DIR");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    // Tests land in build/tests, programs in build/bin.
    return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bin";
}

inline std::chrono::steady_clock::time_point Deadline(int milliseconds) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

inline int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Starts argv with stdout and stderr on one pipe; returns the pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& argv, int& outputFd) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        return -1;
    }
    outputFd = pipeFds[0];
    return pid;
}

// Reads from fd until the text holds stopAt (when given), end of file, or the deadline.
inline bool ReadUntil(int fd, std::string& text, std::chrono::steady_clock::time_point deadline,
                      const char* stopAt) {
    char chunk[4096];
    while (stopAt == nullptr || text.find(stopAt) == std::string::npos) {
        pollfd polled{fd, POLLIN, 0};
        if (::poll(&polled, 1, MillisecondsUntil(deadline)) <= 0) {
            return false;
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return stopAt == nullptr;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

// Waits for pid until the deadline, then kills it. Returns the exit code, 128+signal, or -1.
inline int Reap(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        ::usleep(10000);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

struct RunResult {
    int exitCode = -1;  // -1: killed at the time limit
    std::string output;
};

inline RunResult RunProgram(const std::vector<std::string>& argv, int timeoutMs = 20000) {
    RunResult result;
    int fd = -1;
    const pid_t pid = Spawn(argv, fd);
    if (pid < 0) {
        return result;
    }
    const auto deadline = Deadline(timeoutMs);
    ReadUntil(fd, result.output, deadline, nullptr);
    ::close(fd);
    result.exitCode = Reap(pid, deadline);
    return result;
}

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

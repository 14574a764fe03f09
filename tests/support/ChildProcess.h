// Running another program from a test: started with its output on one pipe, read and waited for
// against a deadline, so that a broken build or a hung peer fails the test instead of hanging it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace kalvoran::testing {

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

// The exit code of a wait status, or 128+signal for a program a signal ended.
inline int ExitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
    return ExitCodeOf(status);
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

}  // namespace kalvoran::testing

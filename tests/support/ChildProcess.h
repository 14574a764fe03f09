// Running another program from a test: started with its output on one pipe (or its standard
// output and standard error on two), read and waited for against a deadline, so that a broken
// build or a hung peer fails the test instead of hanging it.
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

#include "support/ArgumentVector.h"

namespace kalvoran::testing {

inline std::chrono::steady_clock::time_point Deadline(int milliseconds) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
}

inline int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// Starts argv with stdout and stderr on one pipe, or, when errorFd is given, stderr on a second
// pipe of its own; returns the pid, or -1.
inline pid_t Spawn(const std::vector<std::string>& argv, int& outputFd, int* errorFd = nullptr) {
    // Built before the fork: the child only redirects and executes.
    ArgumentVector command(argv);
    int pipeFds[2];
    int errorPipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    if (errorFd != nullptr && ::pipe2(errorPipeFds, O_CLOEXEC) != 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(errorFd != nullptr ? errorPipeFds[1] : pipeFds[1], STDERR_FILENO);
        const int devNull = ::open("/dev/null", O_RDONLY);
        ::dup2(devNull, STDIN_FILENO);
        ::execvp(command.Argv()[0], command.Argv());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    if (errorFd != nullptr) {
        ::close(errorPipeFds[1]);
        *errorFd = pid < 0 ? -1 : errorPipeFds[0];
    }
    if (pid < 0) {
        ::close(pipeFds[0]);
        if (errorFd != nullptr) {
            ::close(errorPipeFds[0]);
        }
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

// Reads both pipes to their end, or until the deadline; errorFd -1 reads only fd.
inline void ReadToEnd(int fd, std::string& text, int errorFd, std::string& errorText,
                      std::chrono::steady_clock::time_point deadline) {
    pollfd polled[2] = {{fd, POLLIN, 0}, {errorFd, POLLIN, 0}};  // a negative fd is skipped
    std::string* texts[2] = {&text, &errorText};
    char chunk[4096];
    while ((polled[0].fd >= 0 || polled[1].fd >= 0) &&
           ::poll(polled, 2, MillisecondsUntil(deadline)) > 0) {
        for (int i = 0; i < 2; ++i) {
            if (polled[i].fd < 0 || polled[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(polled[i].fd, chunk, sizeof chunk);
            if (n <= 0) {
                polled[i].fd = -1;
            } else {
                texts[i]->append(chunk, static_cast<std::size_t>(n));
            }
        }
    }
}

struct RunResult {
    int exitCode = -1;   // -1: killed at the time limit
    std::string output;  // stdout, and stderr too unless read apart
    std::string errors;  // stderr when read apart
};

// Runs argv to its end; separateErrors keeps its stderr apart from its stdout.
inline RunResult RunProgram(const std::vector<std::string>& argv, int timeoutMs = 20000,
                            bool separateErrors = false) {
    RunResult result;
    int fd = -1;
    int errorFd = -1;
    const pid_t pid = Spawn(argv, fd, separateErrors ? &errorFd : nullptr);
    if (pid < 0) {
        return result;
    }
    const auto deadline = Deadline(timeoutMs);
    ReadToEnd(fd, result.output, errorFd, result.errors, deadline);
    ::close(fd);
    if (errorFd >= 0) {
        ::close(errorFd);
    }
    result.exitCode = Reap(pid, deadline);
    return result;
}

}  // namespace kalvoran::testing

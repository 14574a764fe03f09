// The built delay program run as a process: exit codes, the time it takes, the CPU it uses while
// it waits, and the usage on standard error where there is no display.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct ProgramRun {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    std::string standardError;
};

std::string DelayProgramPath() {
    const char* binDir = std::getenv("KALVORAN_BIN_DIR");
    return std::string(binDir != nullptr ? binDir : ".") + "/delay";
}

// The current environment without the named variables, plus the given assignments.
std::vector<std::string> MakeEnvironment(const std::vector<std::string>& removed,
                                         const std::vector<std::string>& added) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string assignment(*entry);
        const std::string name = assignment.substr(0, assignment.find('='));
        bool keep = true;
        for (const std::string& drop : removed) {
            keep = keep && name != drop;
        }
        if (keep) {
            environment.push_back(assignment);
        }
    }
    environment.insert(environment.end(), added.begin(), added.end());
    return environment;
}

// Runs the program with a time limit; a run over the limit is killed and reported as timed out.
ProgramRun RunDelay(const std::vector<std::string>& arguments,
                    const std::vector<std::string>& environment,
                    std::chrono::seconds limit = std::chrono::seconds(15)) {
    ProgramRun run;
    const std::string program = DelayProgramPath();
    if (access(program.c_str(), X_OK) != 0) {
        ADD_FAILURE() << "cannot run " << program;
        return run;
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& assignment : environment) {
        envp.push_back(const_cast<char*>(assignment.c_str()));
    }
    envp.push_back(nullptr);

    int errorPipe[2];
    if (pipe(errorPipe) != 0) {
        return run;
    }
    const auto begin = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(errorPipe[1], STDERR_FILENO);
        close(errorPipe[0]);
        close(errorPipe[1]);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(errorPipe[1]);
    if (child < 0) {
        close(errorPipe[0]);
        return run;
    }
    run.started = true;

    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(child, &status, WNOHANG, &usage);
        if (done == child) {
            break;
        }
        if (std::chrono::steady_clock::now() - begin > limit) {
            run.timedOut = true;
            kill(child, SIGKILL);
            wait4(child, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                     static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }

    char buffer[4096];
    ssize_t count = 0;
    while ((count = read(errorPipe[0], buffer, sizeof buffer)) > 0) {
        run.standardError.append(buffer, static_cast<std::size_t>(count));
    }
    close(errorPipe[0]);
    return run;
}

std::vector<std::string> OffscreenEnvironment() {
    return MakeEnvironment({"QT_QPA_PLATFORM"}, {"QT_QPA_PLATFORM=offscreen"});
}

std::vector<std::string> NoDisplayEnvironment() {
    return MakeEnvironment({"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}, {});
}

const char* const kUsage = "Wrong number of arguments!\nUsage: delay <seconds>";

TEST(DelayProgram, oneSecond_endsWithExitCode0Promptly) {
    const ProgramRun run = RunDelay({"1"}, OffscreenEnvironment());
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_LT(run.wallSeconds, 2.5);
}

TEST(DelayProgram, twoSeconds_waitsWithoutBurningACore) {
    const ProgramRun run = RunDelay({"2"}, OffscreenEnvironment());
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    // More than one and at most two seconds of waiting, plus start-up.
    EXPECT_GT(run.wallSeconds, 1.0);
    EXPECT_LT(run.wallSeconds, 3.5);
    // A polling loop would use about as much CPU as wall time.
    EXPECT_LT(run.cpuSeconds, 0.3 * run.wallSeconds)
        << "cpu " << run.cpuSeconds << " s over " << run.wallSeconds << " s";
}

TEST(DelayProgram, twoArgumentsWithoutDisplay_printUsageOnStandardError) {
    const ProgramRun run = RunDelay({"1", "2"}, NoDisplayEnvironment());
    ASSERT_TRUE(run.started);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.standardError.find(kUsage), std::string::npos) << run.standardError;
    EXPECT_LT(run.wallSeconds, 2.5);
}

TEST(DelayProgram, twoArgumentsOffscreen_printUsageInsteadOfAnUnreachableBox) {
    const ProgramRun run = RunDelay({"5", "x", "y"}, OffscreenEnvironment());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.standardError.find(kUsage), std::string::npos) << run.standardError;
}

TEST(DelayProgram, withoutDisplay_stillWaits) {
    const ProgramRun run = RunDelay({"1"}, NoDisplayEnvironment());
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.standardError.find("Wrong number"), std::string::npos) << run.standardError;
}

TEST(DelayProgram, noArgumentOrNoWait_endAtOnceSilently) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{}, std::vector<std::string>{"-3"},
          std::vector<std::string>{"abc"}}) {
        const ProgramRun run = RunDelay(arguments, OffscreenEnvironment());
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_EQ(run.standardError.find("Wrong number"), std::string::npos) << run.standardError;
        EXPECT_LT(run.wallSeconds, 1.5);
    }
}

}  // namespace

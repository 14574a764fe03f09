// A real TFTP server (tftpd-hpa's in.tftpd) for a test: run in the foreground on one loopback
// address, port 69, serving one directory in which clients may also create files. It is stopped
// with SIGTERM (and killed if need be) when the object goes.
//
// Readiness is read from the kernel's socket table rather than probed with a bind of our own: a
// probe that won the race for the port would make the server's own bind fail.
#pragma once

#include <arpa/inet.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"

namespace kalvoran::testing {

class TftpdProcess {
public:
    static constexpr const char* kProgram = "/usr/sbin/in.tftpd";

    // Whether the server program is installed; port 69 also needs root.
    static bool Available() { return ::access(kProgram, X_OK) == 0; }

    TftpdProcess() = default;
    TftpdProcess(const TftpdProcess&) = delete;
    TftpdProcess& operator=(const TftpdProcess&) = delete;
    ~TftpdProcess() { Stop(); }

    // Starts the server on address:69 serving directory, and waits (up to 5 s) until it listens.
    // False when it could not be started, exited (the port taken, say) or did not listen in time.
    bool Start(const std::string& address, const std::string& directory) {
        in_addr parsed{};
        if (pid > 0 || ::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
            return false;
        }
        // The server changes to this user after binding; the current one may write the
        // directory the test made.
        const passwd* user = ::getpwuid(::geteuid());
        if (user == nullptr) {
            return false;
        }
        pid = Spawn({kProgram, "--foreground", "--address", address + ":69", "--create", "--secure",
                     "--user", user->pw_name, directory},
                    fd);
        if (pid < 0) {
            return false;
        }
        const auto deadline = Deadline(5000);
        while (Running()) {
            if (ListensOn(parsed)) {
                return true;
            }
            if (MillisecondsUntil(deadline) == 0) {
                Stop();
                return false;
            }
            ::usleep(10000);
        }
        return false;
    }

    // Whether the server is still running; reaps it when it has exited.
    bool Running() {
        if (pid <= 0) {
            return false;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            return true;
        }
        exitCode = ExitCodeOf(status);
        Finish();
        return false;
    }

    // Sends SIGTERM and returns the exit code (-1 when it had to be killed).
    int Stop() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            exitCode = Reap(pid, Deadline(3000));
            Finish();
        }
        return exitCode;
    }

    // What the server wrote to stdout and stderr so far (it logs to syslog, so mostly nothing).
    std::string Output() {
        if (fd >= 0) {
            ReadUntil(fd, output, Deadline(100), nullptr);
        }
        return output;
    }

private:
    // The inodes of the UDP sockets bound to address:69 in /proc/net/udp. The kernel prints the
    // address as the raw 32-bit value of s_addr and the port in host order.
    static std::vector<std::string> SocketInodes(const in_addr& address) {
        char local[32];
        std::snprintf(local, sizeof local, "%08X:%04X", static_cast<unsigned>(address.s_addr), 69u);
        std::vector<std::string> inodes;
        std::ifstream table("/proc/net/udp");
        std::string line;
        std::getline(table, line);  // the column names
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, localAddress, remoteAddress, state, queues, timer, retransmits, uid,
                timeout, inode;
            fields >> slot >> localAddress >> remoteAddress >> state >> queues >> timer >>
                retransmits >> uid >> timeout >> inode;
            if (localAddress == local) {
                inodes.push_back(inode);
            }
        }
        return inodes;
    }

    // Whether such a socket is one of the server's own descriptors, not one of another process
    // that holds the address.
    bool ListensOn(const in_addr& address) const {
        const std::vector<std::string> inodes = SocketInodes(address);
        if (inodes.empty()) {
            return false;
        }
        std::error_code listError;
        std::filesystem::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd",
                                                  listError);
        for (; !listError && entry != std::filesystem::directory_iterator();
             entry.increment(listError)) {
            std::error_code linkError;
            const std::string link =
                std::filesystem::read_symlink(entry->path(), linkError).string();
            for (const std::string& inode : inodes) {
                if (link == "socket:[" + inode + "]") {
                    return true;
                }
            }
        }
        return false;
    }

    void Finish() {
        Output();
        ::close(fd);
        fd = -1;
        pid = -1;
    }

    pid_t pid = -1;
    int fd = -1;
    int exitCode = -1;
    std::string output;
};

}  // namespace kalvoran::testing

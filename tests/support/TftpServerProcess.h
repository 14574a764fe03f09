// A real TFTP server program for a test: run in the foreground on one loopback address, port 69,
// its output kept on a pipe. It is stopped with SIGTERM (and killed if need be) when the object
// goes. TftpdProcess and AtftpdProcess say how each program is started.
//
// Readiness is read from the kernel's socket table rather than probed with a bind of our own: a
// probe that won the race for the port would make the server's own bind fail.
#pragma once

#include <arpa/inet.h>
#include <grp.h>
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

class TftpServerProcess {
public:
    TftpServerProcess(const TftpServerProcess&) = delete;
    TftpServerProcess& operator=(const TftpServerProcess&) = delete;

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

    // What the server wrote to stdout and stderr so far.
    std::string Output() {
        if (fd >= 0) {
            ReadUntil(fd, output, Deadline(100), nullptr);
        }
        return output;
    }

protected:
    TftpServerProcess() = default;
    ~TftpServerProcess() { Stop(); }

    // The names of the current user and group: a server that changes to them after binding may
    // still write the directory the test made.
    static std::string UserName() {
        const passwd* user = ::getpwuid(::geteuid());
        return user != nullptr ? user->pw_name : "";
    }
    static std::string GroupName() {
        const group* found = ::getgrgid(::getegid());
        return found != nullptr ? found->gr_name : "";
    }

    // Starts argv, which serves address:69, and waits (up to 5 s) until it listens there. False
    // when it could not be started, exited (the port taken, say) or did not listen in time.
    bool Launch(const std::string& address, const std::vector<std::string>& argv) {
        in_addr parsed{};
        if (pid > 0 || ::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
            return false;
        }
        pid = Spawn(argv, fd);
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

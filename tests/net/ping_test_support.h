// Helpers of the ping tests: the ICMP module opened directly, and a forked child that runs in a
// network namespace of its own, so that sysctls such as the ping group range or ignoring echo
// requests can be set without touching the machine's own network.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "net/Addressing.h"
#include "net/PingService.h"
#include "net/icmp/IcmpApi.h"

namespace kalvoran::net::testing {

// Address a.b.c.d in storage (= network) order.
inline std::uint32_t Address(int a, int b, int c, int d) {
    return ToStorageOrder(Octets{static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(b),
                                 static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(d)});
}

inline std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// The installed-layout module, opened the way the program opens it.
struct IcmpModule {
    void* library = nullptr;
    IcmpCreateFileFn create = nullptr;
    IcmpSendEchoFn send = nullptr;
    IcmpCloseHandleFn close = nullptr;
    IcmpSelectSocketKindFn select = nullptr;
    IcmpHandleSocketKindFn kindOf = nullptr;
    IcmpSetWaitCallbackFn setWait = nullptr;

    IcmpModule() {
        char path[CPingService::kModulePathSize];
        if (!CPingService::DefaultModulePath(path, sizeof path)) {
            return;
        }
        library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            return;
        }
        Bind(create, "IcmpCreateFile");
        Bind(send, "IcmpSendEcho");
        Bind(close, "IcmpCloseHandle");
        Bind(select, "IcmpSelectSocketKind");
        Bind(kindOf, "IcmpHandleSocketKind");
        Bind(setWait, "IcmpSetWaitCallback");
    }
    ~IcmpModule() {
        if (Complete()) {
            select(ICMP_SOCKET_AUTOMATIC);
            setWait(nullptr, nullptr);
        }
        if (library != nullptr) {
            dlclose(library);
        }
    }
    IcmpModule(const IcmpModule&) = delete;
    IcmpModule& operator=(const IcmpModule&) = delete;

    bool Complete() const {
        return create != nullptr && send != nullptr && close != nullptr && select != nullptr &&
               kindOf != nullptr && setWait != nullptr;
    }

private:
    template <typename Function>
    void Bind(Function& function, const char* name) {
        void* symbol = dlsym(library, name);
        std::memcpy(&function, &symbol, sizeof function);
    }
};

// Sysctls of the private network namespace.
struct NetworkSetup {
    bool datagramSocketsAllowed = true;  // net.ipv4.ping_group_range admits root's group
    bool answerEchoRequests = true;      // net.ipv4.icmp_echo_ignore_all = 0
};

inline bool WriteSysctl(const char* path, const char* value) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const auto length = static_cast<ssize_t>(std::strlen(value));
    const bool written = write(fd, value, static_cast<std::size_t>(length)) == length;
    ::close(fd);
    return written;
}

inline bool BringLoopbackUp() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (up) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        up = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    ::close(fd);
    return up;
}

// Applies setup inside the calling process's (private) network namespace.
inline bool ApplyNetworkSetup(const NetworkSetup& setup) {
    return WriteSysctl("/proc/sys/net/ipv4/ping_group_range",
                       setup.datagramSocketsAllowed ? "0 0" : "1 0") &&
           WriteSysctl("/proc/sys/net/ipv4/icmp_echo_ignore_all",
                       setup.answerEchoRequests ? "0" : "1");
}

// Runs body in a forked child inside a fresh network namespace with only loopback up. body
// returns 0 when all its checks held, otherwise the line of the first failed check (see
// CHILD_CHECK). Returns that value, or -1 when the child could not be set up or died.
template <typename Body>
int RunInPrivateNetwork(const NetworkSetup& setup, Body body) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        return -1;
    }
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp() || !ApplyNetworkSetup(setup)) {
            std::perror("private network namespace");
            _exit(255);
        }
        const int result = body();
        std::fflush(nullptr);
        _exit(result > 254 ? 254 : result);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace kalvoran::net::testing

// A check inside a forked child: reports the failed condition and returns its line (mod 250, at
// least 1) from the child's body.
#define CHILD_CHECK(condition)                                                                 \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            return __LINE__ % 250 + 1;                                                         \
        }                                                                                      \
    } while (false)

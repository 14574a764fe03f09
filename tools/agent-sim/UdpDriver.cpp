#include "agent-sim/UdpDriver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kalvoran::agentsim {

namespace tftp = kalvoran::tftp;

namespace {

Millis Now() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

sockaddr_in MakeAddress(std::uint32_t address, std::uint16_t port) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_addr.s_addr = htonl(address);
    socketAddress.sin_port = htons(port);
    return socketAddress;
}

// Large enough for any UDP datagram, so an oversize one is seen at its full length.
constexpr std::size_t kReceiveBuffer = 65536;
static_assert(kReceiveBuffer > tftp::kLargestPacket, "a datagram too long for a block must show");

// Room in each socket for a whole window of the largest blocks, so that a burst of them is not
// lost in the system (which may grant less).
constexpr int kSocketBuffer = static_cast<int>(tftp::kMaxWindowsize * tftp::kLargestPacket);

}  // namespace

UdpDriver::UdpDriver(AgentSim& drivenMachine, std::uint32_t localAddress, bool verboseOutput)
    : machine(drivenMachine), address(localAddress), verbose(verboseOutput) {}

UdpDriver::~UdpDriver() {
    for (const auto& [socket, fd] : sockets) {
        ::close(fd);
    }
}

int UdpDriver::OpenBound(std::uint16_t port, std::string& error) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    for (const int option : {SO_RCVBUF, SO_SNDBUF}) {
        ::setsockopt(fd, SOL_SOCKET, option, &kSocketBuffer, sizeof kSocketBuffer);
    }
    const sockaddr_in local = MakeAddress(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error = "bind " + PeerText(Peer{address, port}) + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool UdpDriver::Listen(std::uint16_t port, std::string& error) {
    const int fd = OpenBound(port, error);
    if (fd < 0) {
        return false;
    }
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        error = std::string("getsockname: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    listenPort = ntohs(bound.sin_port);
    sockets[kListenSocket] = fd;
    return true;
}

void UdpDriver::Carry() {
    for (Action& action : machine.TakeActions()) {
        switch (action.kind) {
            case Action::Kind::Open: {
                std::string error;
                const int fd = OpenBound(0, error);
                if (fd >= 0) {
                    sockets[action.socket] = fd;
                } else {
                    std::fprintf(stderr, "agent-sim: %s\n", error.c_str());
                }
                break;
            }
            case Action::Kind::Send: {
                const auto found = sockets.find(action.socket);
                if (found == sockets.end()) {
                    break;  // its socket could not be opened; the peer will time out
                }
                const sockaddr_in to = MakeAddress(action.to.address, action.to.port);
                if (::sendto(found->second, action.bytes.data(), action.bytes.size(), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0 &&
                    verbose) {
                    std::fprintf(stderr, "agent-sim: sendto %s: %s\n", PeerText(action.to).c_str(),
                                 std::strerror(errno));
                }
                break;
            }
            case Action::Kind::Close: {
                const auto found = sockets.find(action.socket);
                if (found != sockets.end()) {
                    ::close(found->second);
                    sockets.erase(found);
                }
                break;
            }
        }
    }
}

void UdpDriver::Receive(SocketId socket) {
    static std::array<std::uint8_t, kReceiveBuffer> buffer;
    // Take what is queued, but not forever: a flood on one socket must not starve the others.
    for (int taken = 0; taken < 64; ++taken) {
        const auto found = sockets.find(socket);
        if (found == sockets.end()) {
            return;  // closed by the machine while handling the previous datagram
        }
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = ::recvfrom(found->second, buffer.data(), buffer.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            return;  // EAGAIN, or an ICMP error reported on the socket: nothing to hand on
        }
        const Peer peer{ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
        machine.OnDatagram(
            socket, peer, std::span<const std::uint8_t>(buffer.data(), static_cast<std::size_t>(n)),
            Now());
        Carry();
    }
}

int UdpDriver::Run(const volatile std::sig_atomic_t& stop) {
    sigset_t waking;
    sigprocmask(SIG_SETMASK, nullptr, &waking);
    sigdelset(&waking, SIGTERM);
    sigdelset(&waking, SIGINT);

    std::vector<pollfd> polled;
    std::vector<SocketId> ids;
    while (stop == 0) {
        machine.OnTime(Now());
        Carry();

        polled.clear();
        ids.clear();
        for (const auto& [socket, fd] : sockets) {
            polled.push_back(pollfd{fd, POLLIN, 0});
            ids.push_back(socket);
        }
        timespec wait{};
        timespec* waitPointer = nullptr;
        if (const auto deadline = machine.NextDeadline()) {
            const Millis left = std::max<Millis>(0, *deadline - Now());
            wait.tv_sec = static_cast<time_t>(left / 1000);
            wait.tv_nsec = static_cast<long>((left % 1000) * 1000000);
            waitPointer = &wait;
        }
        const int ready = ::ppoll(polled.data(), polled.size(), waitPointer, &waking);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::fprintf(stderr, "agent-sim: poll: %s\n", std::strerror(errno));
            return 1;
        }
        for (std::size_t i = 0; i < polled.size() && ready > 0; ++i) {
            if ((polled[i].revents & (POLLIN | POLLERR)) != 0) {
                Receive(ids[i]);
            }
        }
    }
    return 0;
}

}  // namespace kalvoran::agentsim

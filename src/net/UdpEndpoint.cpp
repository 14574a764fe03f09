#include "net/UdpEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kalvoran::net {

namespace {

sockaddr_in ToSockaddr(const SocketAddress& address) {
    sockaddr_in out{};
    out.sin_family = AF_INET;
    out.sin_port = htons(address.port);
    out.sin_addr.s_addr = address.address;
    return out;
}

SocketAddress FromSockaddr(const sockaddr_in& in) {
    return SocketAddress{in.sin_addr.s_addr, ntohs(in.sin_port)};
}

bool IsWouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

UdpEndpoint::~UdpEndpoint() {
    Close();
}

bool UdpEndpoint::Open() {
    if (IsOpen()) {
        return true;
    }
    const int created = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    if (created < 0) {
        return false;
    }
    descriptor = created;
    return true;
}

bool UdpEndpoint::Close() {
    if (!IsOpen()) {
        return false;
    }
    // Marked closed before the call: even a close that reports an error (EINTR) has released
    // the number on Linux, and it must never be closed a second time.
    const int closing = descriptor;
    descriptor = kNoSocket;
    ::close(closing);
    return true;
}

bool UdpEndpoint::Bind(const SocketAddress& local) {
    if (!IsOpen()) {
        return false;
    }
    const sockaddr_in address = ToSockaddr(local);
    return ::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

SocketAddress UdpEndpoint::LocalAddress() const {
    if (!IsOpen()) {
        return {};
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        address.sin_family != AF_INET) {
        return {};
    }
    return FromSockaddr(address);
}

long UdpEndpoint::SendTo(std::span<const std::uint8_t> bytes, const SocketAddress& to) {
    if (!IsOpen()) {
        return kIoFailed;
    }
    const sockaddr_in address = ToSockaddr(to);
    ssize_t sent = 0;
    do {
        sent = ::sendto(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return IsWouldBlock(errno) ? kWouldBlock : kIoFailed;
    }
    return static_cast<long>(sent);
}

long UdpEndpoint::ReceiveFrom(std::span<std::uint8_t> buffer, SocketAddress& from) {
    if (!IsOpen()) {
        return kIoFailed;
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ssize_t received = 0;
    do {
        length = sizeof address;
        received = ::recvfrom(descriptor, buffer.data(), buffer.size(), 0,
                              reinterpret_cast<sockaddr*>(&address), &length);
    } while (received < 0 && errno == EINTR);
    if (received < 0) {
        return IsWouldBlock(errno) ? kWouldBlock : kIoFailed;
    }
    if (length >= sizeof address && address.sin_family == AF_INET) {
        from = FromSockaddr(address);
    } else {
        from = SocketAddress{};
    }
    return static_cast<long>(received);
}

Readiness UdpEndpoint::WaitReadable(int milliseconds) {
    return WaitFor(POLLIN, milliseconds);
}

Readiness UdpEndpoint::WaitWritable(int milliseconds) {
    return WaitFor(POLLOUT, milliseconds);
}

Readiness UdpEndpoint::WaitFor(short events, int milliseconds) {
    if (!IsOpen()) {
        return Readiness::Failed;
    }
    pollfd watched{descriptor, events, 0};
    const int ready = ::poll(&watched, 1, milliseconds < 0 ? 0 : milliseconds);
    if (ready < 0) {
        // A signal cut the wait short: the caller polls again and waits anew.
        return errno == EINTR ? Readiness::TimedOut : Readiness::Failed;
    }
    if (ready == 0) {
        return Readiness::TimedOut;
    }
    // POLLERR and POLLHUP count as ready: the next call reports (and clears) the error.
    return Readiness::Ready;
}

}  // namespace kalvoran::net

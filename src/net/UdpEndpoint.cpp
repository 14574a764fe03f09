#include "net/UdpEndpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include <array>

#include <array>
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
    const int created = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (created < 0) {
        return false;
    }
    descriptor = created;
    receiveTimeoutMs = 0;
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
        sent = ::sendto(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                        reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return IsWouldBlock(errno) ? kWouldBlock : kIoFailed;
    }
    return static_cast<long>(sent);
}

long UdpEndpoint::SendBatch(std::span<const Gathered> datagrams, const SocketAddress& to) {
    if (!IsOpen()) {
        return kIoFailed;
    }
    // A window at most: larger batches go in pieces.
    constexpr std::size_t kMostAtOnce = 64;
    const std::size_t count = std::min(datagrams.size(), kMostAtOnce);
    if (count == 0) {
        return kWouldBlock;
    }
    sockaddr_in address = ToSockaddr(to);
    std::array<iovec, 2 * kMostAtOnce> pieces{};
    std::array<mmsghdr, kMostAtOnce> messages{};
    for (std::size_t i = 0; i < count; ++i) {
        // sendmmsg only reads the buffers; iovec has no const member.
        pieces[2 * i] = {const_cast<std::uint8_t*>(datagrams[i].head.data()),
                         datagrams[i].head.size()};
        pieces[2 * i + 1] = {const_cast<std::uint8_t*>(datagrams[i].body.data()),
                             datagrams[i].body.size()};
        messages[i].msg_hdr.msg_name = &address;
        messages[i].msg_hdr.msg_namelen = sizeof address;
        messages[i].msg_hdr.msg_iov = &pieces[2 * i];
        messages[i].msg_hdr.msg_iovlen = 2;
    }
    int sent = 0;
    do {
        sent = ::sendmmsg(descriptor, messages.data(), static_cast<unsigned>(count),
                          MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        return IsWouldBlock(errno) ? kWouldBlock : kIoFailed;
    }
    return sent > 0 ? static_cast<long>(sent) : kWouldBlock;
}

long UdpEndpoint::ReceiveFrom(std::span<std::uint8_t> buffer, SocketAddress& from) {
    return Receive(buffer, from, MSG_DONTWAIT);
}

long UdpEndpoint::AwaitDatagram(std::span<std::uint8_t> buffer, SocketAddress& from,
                                int milliseconds) {
    if (!IsOpen()) {
        return kIoFailed;
    }
    if (milliseconds <= 0) {
        return Receive(buffer, from, MSG_DONTWAIT);
    }
    if (milliseconds != receiveTimeoutMs) {
        const timeval limit{milliseconds / 1000,
                            static_cast<suseconds_t>(milliseconds % 1000) * 1000};
        if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
            return kIoFailed;
        }
        receiveTimeoutMs = milliseconds;
    }
    return Receive(buffer, from, 0);
}

long UdpEndpoint::Receive(std::span<std::uint8_t> buffer, SocketAddress& from, int flags) {
    if (!IsOpen()) {
        return kIoFailed;
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const ssize_t received = ::recvfrom(descriptor, buffer.data(), buffer.size(), flags,
                                        reinterpret_cast<sockaddr*>(&address), &length);
    if (received < 0) {
        // A signal that cuts a wait short counts as a wait that ended empty: the caller polls
        // again.
        return IsWouldBlock(errno) || errno == EINTR ? kWouldBlock : kIoFailed;
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

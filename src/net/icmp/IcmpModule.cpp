// libkalvoran-icmp.so: one ICMP echo at a time over a Linux ICMP socket.
//
// The program loads this module at run time and calls IcmpCreateFile, IcmpSendEcho and
// IcmpCloseHandle. A handle owns one socket: the unprivileged datagram ICMP socket where the
// system's ping group range (net.ipv4.ping_group_range) admits the caller, otherwise a raw ICMP
// socket, which needs CAP_NET_RAW (the installed program carries that file capability).
// Only the echo reply that answers our own request from the destination is stored; other ICMP
// traffic seen meanwhile (other programs' pings, our own request on loopback, late answers to
// earlier requests) is passed over until the time-out.
// While the program has set a wait callback, the wait for the reply is cut into slices of at most
// ICMP_WAIT_SLICE_MS and the callback runs between them (the program repaints its window there).
#include "net/icmp/EchoReply.h"
#include "net/icmp/IcmpApi.h"

#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

namespace kalvoran::net::icmp {
namespace {

// Largest request accepted: the data of one unfragmented echo on a 1500-byte link and then some.
constexpr std::uint16_t kMaxRequestSize = 2048;
// Room for the largest reply we can match (IP header with options + ICMP header + data).
constexpr std::size_t kReceiveBufferSize = 60 + kIcmpHeaderSize + kMaxRequestSize + 64;

std::atomic<int> gSocketKind{ICMP_SOCKET_AUTOMATIC};
std::atomic<std::uint16_t> gHandleCounter{0};

// The wait callback and its context change together, so one lock guards the pair.
struct WaitCallback {
    IcmpWaitCallbackFn function;
    void* context;
};
std::mutex gWaitCallbackLock;
WaitCallback gWaitCallback{nullptr, nullptr};

WaitCallback CurrentWaitCallback() {
    const std::lock_guard<std::mutex> lock(gWaitCallbackLock);
    return gWaitCallback;
}

EchoSocket* FromHandle(void* handle) {
    if (handle == nullptr || handle == ICMP_INVALID_HANDLE) {
        return nullptr;
    }
    return static_cast<EchoSocket*>(handle);
}

int OpenDatagramSocket() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        return -1;
    }
    // The reply's TTL and type of service arrive as control messages.
    const int on = 1;
    if (setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_IP, IP_RECVTOS, &on, sizeof on) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenRawSocket() {
    const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        return -1;
    }
    // Let only echo replies through; the matching below does not rely on it.
    icmp_filter filter{};
    filter.data = ~(1u << kEchoReply);
    (void)setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    return fd;
}

std::int64_t NowNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Reads one waiting datagram into buffer; false when none is waiting or it cannot be parsed.
// received tells whether a datagram was consumed at all, so the caller knows when to stop.
bool ReceiveOne(const EchoSocket& echo, std::uint8_t* buffer, std::size_t size, ReceivedEcho& out,
                bool& received) {
    sockaddr_in from{};
    iovec vector{buffer, size};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(int)) * 2 + 64];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    const ssize_t count = recvmsg(echo.fd, &message, MSG_DONTWAIT);
    received = count >= 0 || errno == EINTR;
    if (count < 0 || (message.msg_flags & MSG_TRUNC) != 0) {
        return false;
    }
    const auto length = static_cast<std::size_t>(count);
    if (echo.kind == ICMP_SOCKET_RAW) {
        return ParseRawPacket(buffer, length, out);
    }
    out.source = from.sin_addr.s_addr;
    out.icmp = buffer;
    out.icmpSize = length;
    out.ttl = 0;
    out.tos = 0;
    for (cmsghdr* item = CMSG_FIRSTHDR(&message); item != nullptr;
         item = CMSG_NXTHDR(&message, item)) {
        if (item->cmsg_level != IPPROTO_IP) {
            continue;
        }
        if (item->cmsg_type == IP_TTL && item->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int ttl = 0;
            std::memcpy(&ttl, CMSG_DATA(item), sizeof ttl);
            out.ttl = static_cast<std::uint8_t>(ttl);
        } else if (item->cmsg_type == IP_TOS && item->cmsg_len >= CMSG_LEN(1)) {
            std::memcpy(&out.tos, CMSG_DATA(item), 1);
        }
    }
    return true;
}

void ApplyRequestOptions(const EchoSocket& echo, const IP_OPTION_INFORMATION* options) {
    // -1 restores the route's default TTL, so options of one request do not stick to the next.
    const int ttl = (options != nullptr && options->Ttl != 0) ? options->Ttl : -1;
    const int tos = (options != nullptr) ? options->Tos : 0;
    (void)setsockopt(echo.fd, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl);
    (void)setsockopt(echo.fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
}

void StoreReply(const ReceivedEcho& reply, std::int64_t elapsedNanoseconds, std::uint16_t room,
                void* replyBuffer) {
    auto* bytes = static_cast<unsigned char*>(replyBuffer);
    unsigned char* data = bytes + sizeof(ICMP_ECHO_REPLY);
    std::size_t dataSize = reply.icmpSize - kIcmpHeaderSize;
    if (dataSize > room) {
        dataSize = room;
    }
    std::memcpy(data, reply.icmp + kIcmpHeaderSize, dataSize);

    ICMP_ECHO_REPLY record{};
    record.Address = reply.source;
    record.Status = IP_SUCCESS;
    record.RoundTripTime = static_cast<std::uint32_t>(elapsedNanoseconds / 1'000'000);
    record.DataSize = static_cast<std::uint16_t>(dataSize);
    record.Reserved = 1;
    record.Data = data;
    record.Options.Ttl = reply.ttl;
    record.Options.Tos = reply.tos;
    std::memcpy(bytes, &record, sizeof record);
}

}  // namespace
}  // namespace kalvoran::net::icmp

using namespace kalvoran::net::icmp;

extern "C" {

int IcmpSelectSocketKind(int kind) {
    if (kind != ICMP_SOCKET_AUTOMATIC && kind != ICMP_SOCKET_DATAGRAM && kind != ICMP_SOCKET_RAW) {
        return gSocketKind.load();
    }
    return gSocketKind.exchange(kind);
}

int IcmpHandleSocketKind(void* handle) {
    const EchoSocket* echo = FromHandle(handle);
    return echo == nullptr ? -1 : echo->kind;
}

void* IcmpCreateFile(void) {
    const int wanted = gSocketKind.load();
    int kind = ICMP_SOCKET_DATAGRAM;
    int fd = -1;
    if (wanted != ICMP_SOCKET_RAW) {
        fd = OpenDatagramSocket();
    }
    if (fd < 0 && wanted != ICMP_SOCKET_DATAGRAM) {
        kind = ICMP_SOCKET_RAW;
        fd = OpenRawSocket();
    }
    if (fd < 0) {
        return ICMP_INVALID_HANDLE;
    }
    auto* echo = new (std::nothrow) EchoSocket{};
    if (echo == nullptr) {
        close(fd);
        return ICMP_INVALID_HANDLE;
    }
    echo->fd = fd;
    echo->kind = kind;
    // Distinct per process and per handle, so that concurrent raw pingers tell their replies apart.
    const auto counter = static_cast<std::uint16_t>(gHandleCounter.fetch_add(1) + 1);
    echo->identifier = static_cast<std::uint16_t>(static_cast<std::uint32_t>(getpid()) ^
                                                  static_cast<std::uint32_t>(counter << 10));
    echo->sequence = 0;
    return echo;
}

uint32_t IcmpSendEcho(void* handle, uint32_t destination, void* requestData, uint16_t requestSize,
                      IP_OPTION_INFORMATION* requestOptions, void* replyBuffer, uint32_t replySize,
                      uint32_t timeout) {
    EchoSocket* echo = FromHandle(handle);
    if (echo == nullptr || destination == 0 || requestSize > kMaxRequestSize ||
        (requestData == nullptr && requestSize != 0) || replyBuffer == nullptr ||
        replySize < sizeof(ICMP_ECHO_REPLY) + requestSize) {
        return 0;
    }

    std::uint8_t request[kIcmpHeaderSize + kMaxRequestSize] = {};
    echo->sequence = static_cast<std::uint16_t>(echo->sequence + 1);
    request[0] = kEchoRequest;
    WriteBigEndian16(request + 4, echo->identifier);
    WriteBigEndian16(request + 6, echo->sequence);
    if (requestSize != 0) {
        std::memcpy(request + kIcmpHeaderSize, requestData, requestSize);
    }
    const std::size_t requestLength = kIcmpHeaderSize + requestSize;
    WriteBigEndian16(request + 2, Checksum(request, requestLength));

    ApplyRequestOptions(*echo, requestOptions);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;
    const std::int64_t start = NowNanoseconds();
    if (sendto(echo->fd, request, requestLength, 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to) != static_cast<ssize_t>(requestLength)) {
        return 0;
    }

    const std::int64_t deadline = start + static_cast<std::int64_t>(timeout) * 1'000'000;
    std::uint8_t buffer[kReceiveBufferSize];
    for (;;) {
        const std::int64_t now = NowNanoseconds();
        if (now >= deadline) {
            return 0;
        }
        // Round up so that poll never returns early and leaves a spin of zero-length waits.
        auto waitMs = static_cast<int>((deadline - now + 999'999) / 1'000'000);
        // Read afresh for every slice: the callback itself may clear or replace the setting.
        if (CurrentWaitCallback().function != nullptr && waitMs > ICMP_WAIT_SLICE_MS) {
            waitMs = ICMP_WAIT_SLICE_MS;
        }
        pollfd entry{echo->fd, POLLIN, 0};
        const int ready = poll(&entry, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
        if (ready > 0) {
            // Take everything that is waiting; stop at the first datagram that answers us.
            bool received = true;
            while (received) {
                ReceivedEcho reply{};
                if (ReceiveOne(*echo, buffer, sizeof buffer, reply, received) &&
                    Answers(*echo, reply, destination)) {
                    StoreReply(reply, NowNanoseconds() - start, requestSize, replyBuffer);
                    return 1;
                }
            }
        }
        // Between two slices only: never once the time-out has passed.
        const WaitCallback callback = CurrentWaitCallback();
        if (callback.function != nullptr && NowNanoseconds() < deadline) {
            callback.function(callback.context);
        }
    }
}

void IcmpSetWaitCallback(IcmpWaitCallbackFn callback, void* context) {
    const std::lock_guard<std::mutex> lock(gWaitCallbackLock);
    gWaitCallback = WaitCallback{callback, callback != nullptr ? context : nullptr};
}

int IcmpCloseHandle(void* handle) {
    EchoSocket* echo = FromHandle(handle);
    if (echo == nullptr) {
        return 0;
    }
    close(echo->fd);
    delete echo;
    return 1;
}

}  // extern "C"

// A UDP socket in simulated time: datagrams to be received are scheduled at simulated times
// and arrive when the FakeClock reaches them; waits for readiness advance the clock (up to the
// next arrival); every datagram sent is recorded, and a scripted agent can answer it from
// OnSend. Sends can be refused (as "would block") until a given time, or fail outright. A peer
// with time-outs of its own (a simulated agent that resends) can be attached: it runs whenever
// the socket is used, and a wait stops at its next deadline, so what it sends then arrives on
// time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "FakeClock.h"
#include "net/DatagramSocket.h"

namespace kalvoran::fakes {

struct FakeDatagram {
    std::int64_t atMilliseconds = 0;  // arrival (received) or hand-over (sent) time
    net::SocketAddress peer;          // sender (received) or destination (sent)
    std::vector<std::uint8_t> bytes;
};

// 127.0.0.1-style addresses in storage order for readable tests.
inline std::uint32_t Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t octets[4] = {a, b, c, d};
    std::uint32_t address = 0;
    std::copy_n(octets, 4, reinterpret_cast<std::uint8_t*>(&address));
    return address;
}

class FakeDatagramSocket : public net::DatagramSocket {
public:
    explicit FakeDatagramSocket(FakeClock& simulatedClock) : clock(simulatedClock) {}

    // --- scripting ---
    // A datagram from `from` that arrives delayMilliseconds after the current simulated time.
    void Deliver(const net::SocketAddress& from, std::vector<std::uint8_t> bytes,
                 std::int64_t delayMilliseconds = 0) {
        FakeDatagram datagram{clock.Milliseconds() + delayMilliseconds, from, std::move(bytes)};
        const auto at = std::upper_bound(incoming.begin(), incoming.end(), datagram.atMilliseconds,
                                         [](std::int64_t time, const FakeDatagram& queued) {
                                             return time < queued.atMilliseconds;
                                         });
        incoming.insert(at, std::move(datagram));
    }
    void Deliver(const net::SocketAddress& from, std::initializer_list<std::uint8_t> bytes,
                 std::int64_t delayMilliseconds = 0) {
        Deliver(from, std::vector<std::uint8_t>(bytes), delayMilliseconds);
    }
    // Sends report "would block" until the simulated time reaches this point.
    void RefuseSendsUntil(std::int64_t milliseconds) { sendsRefusedUntil = milliseconds; }
    // Every send fails outright (kIoFailed) while set.
    void FailSends(bool fail) { sendsFail = fail; }
    // Runs after every datagram handed over (a scripted agent answers from here).
    void OnSend(std::function<void(const FakeDatagram&)> answer) { onSend = std::move(answer); }
    // The attached peer's earliest deadline, and a run of everything it has due by now.
    struct TimedPeer {
        std::function<std::optional<std::int64_t>()> nextDeadline;
        std::function<void()> runDue;
    };
    void AttachTimedPeer(TimedPeer peer) { timedPeer = std::move(peer); }
    bool Open() override {
        open = true;
        return true;
    }
    bool Close() override {
        const bool wasOpen = open;
        open = false;
        return wasOpen;
    }

    // --- observations ---
    const std::vector<FakeDatagram>& Sent() const { return sent; }
    std::size_t Pending() const { return incoming.size(); }
    int SendCalls() const { return sendCalls; }
    int ReceiveCalls() const { return static_cast<int>(receiveCallTimes.size()); }
    // Simulated time of every ReceiveFrom call, in order.
    const std::vector<std::int64_t>& ReceiveCallTimes() const { return receiveCallTimes; }
    int WaitCalls() const { return waitCalls; }

    // --- DatagramSocket ---
    bool IsOpen() const override { return open; }

    long SendTo(std::span<const std::uint8_t> bytes, const net::SocketAddress& to) override {
        ++sendCalls;
        if (!open || sendsFail) {
            return net::kIoFailed;
        }
        if (clock.Milliseconds() < sendsRefusedUntil) {
            return net::kWouldBlock;
        }
        RunPeer();  // what fell due before this datagram happens first
        sent.push_back(FakeDatagram{clock.Milliseconds(), to, {bytes.begin(), bytes.end()}});
        if (onSend) {
            const FakeDatagram copy = sent.back();
            onSend(copy);
        }
        return static_cast<long>(bytes.size());
    }

    long ReceiveFrom(std::span<std::uint8_t> buffer, net::SocketAddress& from) override {
        receiveCallTimes.push_back(clock.Milliseconds());
        if (!open) {
            return net::kIoFailed;
        }
        RunPeer();
        if (!Arrived()) {
            return net::kWouldBlock;
        }
        const FakeDatagram datagram = std::move(incoming.front());
        incoming.erase(incoming.begin());
        const std::size_t length = std::min(buffer.size(), datagram.bytes.size());
        std::copy_n(datagram.bytes.begin(), length, buffer.begin());
        from = datagram.peer;
        return static_cast<long>(length);
    }

    // Takes a datagram due within the wait (the clock moves on to its arrival), or lets the whole
    // wait pass in simulated time.
    long AwaitDatagram(std::span<std::uint8_t> buffer, net::SocketAddress& from,
                       int milliseconds) override {
        if (open && milliseconds > 0) {
            ++waitCalls;
            WaitUntil(clock.Milliseconds() + milliseconds);
        }
        return ReceiveFrom(buffer, from);
    }

    net::Readiness WaitReadable(int milliseconds) override {
        ++waitCalls;
        if (!open) {
            return net::Readiness::Failed;
        }
        return WaitUntil(clock.Milliseconds() + std::max(milliseconds, 0))
                   ? net::Readiness::Ready
                   : net::Readiness::TimedOut;
    }

    net::Readiness WaitWritable(int milliseconds) override {
        ++waitCalls;
        if (!open) {
            return net::Readiness::Failed;
        }
        const std::int64_t deadline = clock.Milliseconds() + std::max(milliseconds, 0);
        if (sendsRefusedUntil <= deadline) {
            clock.AdvanceTo(sendsRefusedUntil);
            return net::Readiness::Ready;
        }
        clock.AdvanceTo(deadline);
        return net::Readiness::TimedOut;
    }

private:
    bool Arrived() const {
        return !incoming.empty() && incoming.front().atMilliseconds <= clock.Milliseconds();
    }
    void RunPeer() {
        if (timedPeer.runDue) {
            timedPeer.runDue();
        }
    }
    // Lets simulated time run to the deadline, or until a datagram is there to be taken.
    bool WaitUntil(std::int64_t deadline) {
        for (;;) {
            RunPeer();  // afterwards the peer's next deadline lies in the future
            if (Arrived()) {
                return true;
            }
            if (clock.Milliseconds() >= deadline) {
                return false;
            }
            std::int64_t next = deadline;
            if (!incoming.empty()) {
                next = std::min(next, incoming.front().atMilliseconds);
            }
            if (timedPeer.nextDeadline) {
                if (const auto due = timedPeer.nextDeadline()) {
                    next = std::min(next, *due);
                }
            }
            clock.AdvanceTo(next);
        }
    }

    FakeClock& clock;
    TimedPeer timedPeer;
    std::vector<FakeDatagram> incoming;  // ordered by arrival time
    std::vector<FakeDatagram> sent;
    std::vector<std::int64_t> receiveCallTimes;
    std::function<void(const FakeDatagram&)> onSend;
    std::int64_t sendsRefusedUntil = 0;
    bool sendsFail = false;
    bool open = true;
    int sendCalls = 0;
    int waitCalls = 0;
};

}  // namespace kalvoran::fakes

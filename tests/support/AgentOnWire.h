// The simulated agent's protocol machine behind the client's socket, in simulated time: what the
// client sends reaches the agent at once, the agent's answers arrive one millisecond later from
// the ports it opened for them, and its time-outs fire when the simulated clock passes them. So a
// whole session (ping wait, transfer, late wait, status poll) runs in a blink and exactly.
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "FakeClock.h"
#include "agent-sim/AgentSim.h"
#include "net/DatagramSocket.h"

namespace kalvoran::fakes {

class AgentOnWire final : public net::DatagramSocket {
public:
    struct Datagram {
        std::int64_t atMilliseconds = 0;
        net::SocketAddress peer;  // sender (arriving) or destination (sent)
        std::vector<std::uint8_t> bytes;
    };

    static constexpr std::uint16_t kClientPort = 50000;
    static constexpr std::uint16_t kFirstTransferPort = 40000;
    static constexpr std::int64_t kLatencyMilliseconds = 1;

    AgentOnWire(FakeClock& simulatedClock, std::uint32_t agentAddress,
                agentsim::Settings settings = {})
        : clock(simulatedClock), agentAt(agentAddress), agent(storage, std::move(settings)) {}

    agentsim::MemoryStorage storage;
    std::vector<Datagram> sent;  // everything the client sent, in order
    bool refuseSends = false;    // the socket takes nothing ("would block")
    // Runs after every datagram the client hands over (a test changes the world from here).
    std::function<void(const Datagram&)> onSend;

    // DATA blocks the client sent to the agent, by their block number.
    int DataPacketsSent() const {
        return static_cast<int>(std::count_if(sent.begin(), sent.end(), [](const Datagram& d) {
            return d.bytes.size() >= 2 && d.bytes[1] == 3;
        }));
    }

    bool Open() override {
        open = true;
        return true;
    }
    bool Close() override {
        const bool was = open;
        open = false;
        return was;
    }
    bool IsOpen() const override { return open; }

    long SendTo(std::span<const std::uint8_t> bytes, const net::SocketAddress& to) override {
        if (!open) {
            return net::kIoFailed;
        }
        if (refuseSends) {
            return net::kWouldBlock;
        }
        RunAgent();
        sent.push_back({clock.Milliseconds(), to, {bytes.begin(), bytes.end()}});
        const auto socket = SocketAt(to);
        if (to.address == agentAt && socket.has_value()) {
            agent.OnDatagram(*socket, agentsim::Peer{0x7F000001u, kClientPort}, bytes,
                             clock.Milliseconds());
            Carry(clock.Milliseconds());
        }
        if (onSend) {
            onSend(sent.back());
        }
        return static_cast<long>(bytes.size());
    }

    long ReceiveFrom(std::span<std::uint8_t> buffer, net::SocketAddress& from) override {
        if (!open) {
            return net::kIoFailed;
        }
        RunAgent();
        if (arriving.empty() || arriving.front().atMilliseconds > clock.Milliseconds()) {
            return net::kWouldBlock;
        }
        const Datagram datagram = std::move(arriving.front());
        arriving.pop_front();
        const std::size_t length = std::min(buffer.size(), datagram.bytes.size());
        std::copy_n(datagram.bytes.begin(), length, buffer.begin());
        from = datagram.peer;
        return static_cast<long>(length);
    }

    long AwaitDatagram(std::span<std::uint8_t> buffer, net::SocketAddress& from,
                       int milliseconds) override {
        if (open) {
            WaitUntil(clock.Milliseconds() + std::max(milliseconds, 0));
        }
        return ReceiveFrom(buffer, from);
    }

    net::Readiness WaitReadable(int milliseconds) override {
        if (!open) {
            return net::Readiness::Failed;
        }
        return WaitUntil(clock.Milliseconds() + std::max(milliseconds, 0))
                   ? net::Readiness::Ready
                   : net::Readiness::TimedOut;
    }
    net::Readiness WaitWritable(int milliseconds) override {
        if (!open) {
            return net::Readiness::Failed;
        }
        if (refuseSends) {
            clock.Advance(std::max(milliseconds, 0));
            return net::Readiness::TimedOut;
        }
        return net::Readiness::Ready;
    }

private:
    // Lets simulated time run to the deadline, or until a datagram is there to be taken.
    bool WaitUntil(std::int64_t deadline) {
        for (;;) {
            RunAgent();  // afterwards the agent's next deadline lies in the future
            if (!arriving.empty() && arriving.front().atMilliseconds <= clock.Milliseconds()) {
                return true;
            }
            if (clock.Milliseconds() >= deadline) {
                return false;
            }
            std::int64_t next = deadline;
            if (!arriving.empty()) {
                next = std::min(next, arriving.front().atMilliseconds);
            }
            if (const auto due = agent.NextDeadline()) {
                next = std::min(next, *due);
            }
            clock.AdvanceTo(next);
        }
    }

    // Fires the agent's time-outs that the clock has passed, each at its own time (the clock
    // also moves on in pauses that never touch the socket), so that its resends are stamped
    // with the time they really went out.
    void RunAgent() {
        while (const auto due = agent.NextDeadline()) {
            if (*due > clock.Milliseconds()) {
                break;
            }
            agent.OnTime(*due);
            Carry(*due);
        }
    }

    std::optional<agentsim::SocketId> SocketAt(const net::SocketAddress& to) const {
        if (to.port == 69) {
            return agentsim::kListenSocket;
        }
        for (const auto& [socket, port] : ports) {
            if (port == to.port) {
                return socket;
            }
        }
        return std::nullopt;
    }

    void Carry(std::int64_t now) {
        for (agentsim::Action& action : agent.TakeActions()) {
            switch (action.kind) {
                case agentsim::Action::Kind::Open:
                    ports[action.socket] =
                        static_cast<std::uint16_t>(kFirstTransferPort + action.socket);
                    break;
                case agentsim::Action::Kind::Close:
                    ports.erase(action.socket);
                    break;
                case agentsim::Action::Kind::Send: {
                    const std::uint16_t port =
                        action.socket == agentsim::kListenSocket ? 69 : ports[action.socket];
                    Datagram datagram{
                        now + kLatencyMilliseconds, {agentAt, port}, std::move(action.bytes)};
                    const auto at =
                        std::upper_bound(arriving.begin(), arriving.end(), datagram.atMilliseconds,
                                         [](std::int64_t time, const Datagram& queued) {
                                             return time < queued.atMilliseconds;
                                         });
                    arriving.insert(at, std::move(datagram));
                    break;
                }
            }
        }
    }

    FakeClock& clock;
    std::uint32_t agentAt;
    agentsim::AgentSim agent;
    std::map<agentsim::SocketId, std::uint16_t> ports;
    std::deque<Datagram> arriving;
    bool open = false;
};

}  // namespace kalvoran::fakes

// The simulated agent's protocol machine behind the client's socket, in simulated time: what the
// client sends reaches the agent at once, the agent's answers arrive one millisecond later from
// the ports it opened for them, and its time-outs fire when the simulated clock passes them. So a
// whole session (ping wait, transfer, late wait, status poll) runs in a blink and exactly.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <utility>

#include "FakeDatagramSocket.h"
#include "agent-sim/AgentSim.h"

namespace kalvoran::fakes {

class AgentOnWire final : public FakeDatagramSocket {
public:
    static constexpr std::uint16_t kClientPort = 50000;
    static constexpr std::uint16_t kFirstTransferPort = 40000;
    static constexpr std::int64_t kLatencyMilliseconds = 1;

    AgentOnWire(FakeClock& simulatedClock, std::uint32_t agentAddress,
                agentsim::Settings settings = {})
        : FakeDatagramSocket(simulatedClock),
          clock(simulatedClock),
          agentAt(agentAddress),
          agent(storage, std::move(settings)) {
        OnSend([this](const FakeDatagram& datagram) { ToAgent(datagram); });
        AttachTimedPeer({[this] { return agent.NextDeadline(); }, [this] { RunAgent(); }});
    }

    agentsim::MemoryStorage storage;

    int DataPacketsSent() const {
        return static_cast<int>(std::count_if(Sent().begin(), Sent().end(), [](const auto& d) {
            return d.bytes.size() >= 2 && d.bytes[1] == 3;
        }));
    }

private:
    void ToAgent(const FakeDatagram& datagram) {
        const auto socket = SocketAt(datagram.peer);
        if (datagram.peer.address == agentAt && socket.has_value()) {
            agent.OnDatagram(*socket, agentsim::Peer{0x7F000001u, kClientPort}, datagram.bytes,
                             clock.Milliseconds());
            Carry(clock.Milliseconds());
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
                    Deliver({agentAt, port}, std::move(action.bytes),
                            now + kLatencyMilliseconds - clock.Milliseconds());
                    break;
                }
            }
        }
    }

    FakeClock& clock;
    std::uint32_t agentAt;
    agentsim::AgentSim agent;
    std::map<agentsim::SocketId, std::uint16_t> ports;
};

}  // namespace kalvoran::fakes

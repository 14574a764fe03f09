// A network in simulated time around the pure agent machine: the test plays the client, sends
// datagrams to the agent's sockets and reads what the agent sent back, while the wire checks
// that the agent only sends from sockets it opened and closes each socket once.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "agent-sim/AgentSim.h"
#include "support/Pattern.h"
#include "support/TextLines.h"
#include "tftp/TftpPacket.h"

namespace kalvoran::agentsim::testing {

namespace tftp = kalvoran::tftp;

using kalvoran::testing::PatternBytes;

struct Sent {
    SocketId socket = 0;
    Peer to;
    Bytes bytes;
    Millis at = 0;  // the simulated time the agent's driver was told to send it
    int Opcode() const { return tftp::OpcodeOf(bytes); }
    int Block() const { return tftp::BlockOf(bytes); }
    Bytes Payload() const {
        return bytes.size() < 4 ? Bytes{} : Bytes(bytes.begin() + 4, bytes.end());
    }
};

inline Bytes Request(int opcode, std::string_view name, std::string_view mode = "octet",
                     std::string_view options = {}) {
    Bytes packet(name.size() + mode.size() + 4);
    tftp::WriteRequest(packet, opcode, name, mode);
    packet.insert(packet.end(), options.begin(), options.end());
    return packet;
}

inline Bytes Ack(int block) {
    Bytes packet(4);
    tftp::WriteAck(packet, block);
    return packet;
}

inline Bytes Data(int block, std::span<const std::uint8_t> payload) {
    Bytes packet(4 + payload.size());
    tftp::WriteDataHeader(packet, tftp::kOpData, block, payload.size());
    std::copy(payload.begin(), payload.end(), packet.begin() + 4);
    return packet;
}

// Option names and values as they travel, each ended by a zero byte, written as words:
// Pairs("blksize 1428 tsize 0").
inline std::string Pairs(std::string_view words) {
    std::string bytes(words);
    std::replace(bytes.begin(), bytes.end(), ' ', '\0');
    bytes.push_back('\0');
    return bytes;
}

// An OACK holding pairs (see Pairs).
inline Bytes Oack(std::string_view pairs) {
    Bytes packet(2 + pairs.size(), 0);
    packet[1] = tftp::kOpOack;
    std::copy(pairs.begin(), pairs.end(), packet.begin() + 2);
    return packet;
}

inline Bytes ErrorPacket(int code, std::string_view text) {
    Bytes packet(4 + text.size() + 1);
    packet.resize(tftp::WriteError(packet, code, text));
    return packet;
}

// The block numbers of what the agent has sent so far, in order (the inbox is emptied).
inline std::vector<int> BlocksIn(std::deque<Sent>& inbox) {
    std::vector<int> blocks;
    for (const Sent& sent : inbox) {
        blocks.push_back(sent.Block());
    }
    inbox.clear();
    return blocks;
}

using kalvoran::testing::Text;

class SimWire {
public:
    explicit SimWire(Settings settings = {}) : agent(storage, std::move(settings)) {}

    MemoryStorage storage;
    AgentSim agent;
    Millis now = 0;
    Peer client{0x7F000001, 50000};
    std::set<SocketId> open;
    std::deque<Sent> inbox;

    void Pump() {
        for (Action& action : agent.TakeActions()) {
            switch (action.kind) {
                case Action::Kind::Open:
                    EXPECT_TRUE(open.insert(action.socket).second) << "socket opened twice";
                    EXPECT_NE(action.socket, kListenSocket);
                    break;
                case Action::Kind::Send:
                    EXPECT_TRUE(action.socket == kListenSocket || open.count(action.socket) == 1)
                        << "send from a socket that is not open";
                    inbox.push_back(Sent{action.socket, action.to, std::move(action.bytes), now});
                    break;
                case Action::Kind::Close:
                    EXPECT_EQ(open.erase(action.socket), 1u) << "closing a socket not open";
                    break;
            }
        }
    }

    void ToAgent(SocketId socket, const Bytes& bytes) { ToAgentFrom(socket, client, bytes); }
    void ToAgentFrom(SocketId socket, const Peer& from, const Bytes& bytes) {
        agent.OnDatagram(socket, from, bytes, now);
        Pump();
    }

    // Lets simulated time pass, firing every deadline on the way at its own time.
    void Advance(Millis milliseconds) {
        const Millis until = now + milliseconds;
        while (const auto due = agent.NextDeadline()) {
            if (*due > until) {
                break;
            }
            now = std::max(now, *due);
            agent.OnTime(now);
            Pump();
        }
        now = until;
    }

    std::optional<Sent> Next() {
        if (inbox.empty()) {
            return std::nullopt;
        }
        Sent sent = std::move(inbox.front());
        inbox.pop_front();
        return sent;
    }

    // A well-behaved client reading a file; every DATA must come from one transfer socket.
    std::optional<Bytes> Get(std::string_view name) {
        ToAgent(kListenSocket, Request(tftp::kOpRrq, name));
        Bytes content;
        std::optional<SocketId> transfer;
        for (int block = 1;; ++block) {
            auto sent = Next();
            if (!sent || sent->Opcode() != tftp::kOpData) {
                return std::nullopt;
            }
            EXPECT_EQ(sent->Block(), block & 0xFFFF);
            EXPECT_TRUE(!transfer || *transfer == sent->socket) << "DATA from another port";
            transfer = sent->socket;
            const Bytes payload = sent->Payload();
            content.insert(content.end(), payload.begin(), payload.end());
            ToAgent(sent->socket, Ack(block));
            if (payload.size() < tftp::kBlockSize) {
                return content;
            }
        }
    }

    // A well-behaved client writing a file; returns false when the agent does not ACK it all.
    bool Put(std::string_view name, const Bytes& content) {
        ToAgent(kListenSocket, Request(tftp::kOpWrq, name));
        auto ack = Next();
        if (!ack || ack->Opcode() != tftp::kOpAck || ack->Block() != 0) {
            return false;
        }
        const SocketId transfer = ack->socket;
        for (std::size_t block = 1, offset = 0;; ++block, offset += tftp::kBlockSize) {
            const std::size_t length = std::min(tftp::kBlockSize, content.size() - offset);
            ToAgent(transfer,
                    Data(static_cast<int>(block), std::span(content).subspan(offset, length)));
            ack = Next();
            if (!ack || ack->Opcode() != tftp::kOpAck ||
                ack->Block() != static_cast<int>(block & 0xFFFF) || ack->socket != transfer) {
                return false;
            }
            if (length < tftp::kBlockSize) {
                return true;
            }
        }
    }
};

}  // namespace kalvoran::agentsim::testing

#include "agent-sim/AgentSim.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "tftp/TftpPacket.h"

namespace kalvoran::agentsim {

namespace tftp = kalvoran::tftp;

namespace {

constexpr int kBlockMask = 0xFFFF;

// After the mode, a request may carry option names and values (RFC 2347), each ended by a zero
// byte. Bytes that do not make whole pairs are trailing garbage and make the request malformed.
bool OptionsWellFormed(std::span<const std::uint8_t> tail) {
    std::size_t strings = 0;
    std::size_t start = 0;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        if (tail[i] == 0) {
            ++strings;
            start = i + 1;
        }
    }
    return start == tail.size() && strings % 2 == 0;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
        };
        return lower(x) == lower(y);
    });
}

Bytes MakeAck(int block) {
    Bytes packet(tftp::kHeaderSize);
    tftp::WriteAck(packet, block);
    return packet;
}

}  // namespace

std::string PeerText(const Peer& peer) {
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%u.%u.%u.%u:%u", (peer.address >> 24) & 0xFFu,
                  (peer.address >> 16) & 0xFFu, (peer.address >> 8) & 0xFFu, peer.address & 0xFFu,
                  static_cast<unsigned>(peer.port));
    return text.data();
}

AgentSim::AgentSim(Storage& fileStorage, Settings initialSettings)
    : storage(fileStorage), settings(std::move(initialSettings)) {}

std::vector<Action> AgentSim::TakeActions() {
    std::vector<Action> taken;
    taken.swap(actions);
    return taken;
}

std::optional<Millis> AgentSim::NextDeadline() const {
    std::optional<Millis> next;
    const auto consider = [&next](Millis when) {
        if (!next || when < *next) {
            next = when;
        }
    };
    for (const Transfer& transfer : transfers) {
        consider(transfer.deadline);
    }
    if (!delayed.empty()) {
        consider(delayed.front().due);
    }
    return next;
}

// ---- Incoming datagrams ----

void AgentSim::OnDatagram(SocketId socket, const Peer& from, std::span<const std::uint8_t> datagram,
                          Millis now) {
    eventTime = now;
    if (socket == kListenSocket) {
        OnRequest(from, datagram, now);
        return;
    }
    const auto transfer = FindBySocket(socket);
    if (transfer != transfers.end()) {
        OnTransferDatagram(*transfer, from, datagram, now);
        return;
    }
    OnSideDatagram(socket, from, datagram);
}

void AgentSim::OnRequest(const Peer& from, std::span<const std::uint8_t> datagram, Millis now) {
    const auto request = tftp::ParseRequest(datagram);
    if (!request || datagram.size() > tftp::kPacketSize) {
        // Never answer an ERROR with an ERROR: two confused peers would bounce them forever.
        if (tftp::OpcodeOf(datagram) != tftp::kOpError) {
            Log([&] {
                return "malformed request of " + std::to_string(datagram.size()) + " bytes from " +
                       PeerText(from);
            });
            RefuseRequest(from, 4, tftp::ErrorMessage(4));
        }
        return;
    }
    const std::size_t optionsAt = 2 + request->name.size() + 1 + request->mode.size() + 1;
    if (!OptionsWellFormed(datagram.subspan(optionsAt))) {
        Log([&] { return "request with trailing bytes from " + PeerText(from); });
        RefuseRequest(from, 4, tftp::ErrorMessage(4));
        return;
    }
    const bool reading = request->opcode == tftp::kOpRrq;
    const std::string name(request->name);
    Log([&] {
        return std::string(reading ? "RRQ " : "WRQ ") + name + " mode " +
               std::string(request->mode) + " from " + PeerText(from);
    });

    if (!EqualsIgnoringCase(request->mode, "octet") &&
        !EqualsIgnoringCase(request->mode, "netascii")) {
        RefuseRequest(from, 4, tftp::ErrorMessage(4));
        return;
    }
    if (!SafeFileName(name)) {
        RefuseRequest(from, 2, tftp::ErrorMessage(2));
        return;
    }

    // A client whose request went unanswered sends it again from the same port: that is the
    // same transfer, answered again. Any other request from that port replaces what it had.
    for (auto it = transfers.begin(); it != transfers.end();) {
        const auto current = it++;
        if (!(current->peer == from)) {
            continue;
        }
        const bool same = current->name == name && current->reading == reading;
        if (same && current->phase == Phase::Stalled) {
            return;  // a stalled agent stays silent
        }
        const bool untouched = current->sequence == (current->reading ? 1 : 0);
        if (same && current->phase == Phase::Running && untouched) {
            Log([&] { return "repeated request, answering again"; });
            Resend(*current, now);
            return;
        }
        End(current, "replaced by a new request");
    }

    for (const Fault& fault : settings.faults) {
        if (fault.kind == FaultKind::Error && fault.name == name) {
            Log([&] {
                return "fault error: ERROR " + std::to_string(fault.errorCode) + " for " + name;
            });
            RefuseRequest(
                from, fault.errorCode,
                fault.errorText.empty() ? tftp::ErrorMessage(fault.errorCode) : fault.errorText);
            return;
        }
    }
    if (transfers.size() >= static_cast<std::size_t>(settings.maxTransfers)) {
        RefuseRequest(from, 0, "Too many transfers");
        return;
    }

    if (reading) {
        auto content = ContentFor(name);
        if (!content) {
            RefuseRequest(from, 1, tftp::ErrorMessage(1));
            return;
        }
        StartTransfer(from, name, true, std::move(*content), now);
    } else {
        if (!WritableRole(name)) {
            RefuseRequest(from, 2, tftp::ErrorMessage(2));
            return;
        }
        StartTransfer(from, name, false, {}, now);
    }
}

void AgentSim::OnTransferDatagram(Transfer& transfer, const Peer& from,
                                  std::span<const std::uint8_t> datagram, Millis now) {
    const int opcode = tftp::OpcodeOf(datagram);
    if (!(from == transfer.peer)) {
        if (opcode != tftp::kOpError) {
            Log([&] { return "datagram from foreign port " + PeerText(from); });
            SendError(transfer.socket, from, 5, tftp::ErrorMessage(5));
        }
        return;
    }
    if (transfer.phase == Phase::Stalled) {
        return;
    }
    if (!tftp::IsWholePacket(datagram)) {
        Log([&] {
            return "short datagram of " + std::to_string(datagram.size()) + " bytes ignored";
        });
        return;
    }
    if (opcode == tftp::kOpError) {
        End(FindBySocket(transfer.socket), "client sent ERROR");
        return;
    }
    const bool expected = datagram[0] == 0 && datagram.size() <= tftp::kPacketSize &&
                          opcode == (transfer.reading ? tftp::kOpAck : tftp::kOpData);
    if (!expected) {
        SendError(transfer.socket, from, 4, tftp::ErrorMessage(4));
        End(FindBySocket(transfer.socket), "illegal datagram");
        return;
    }
    if (transfer.reading) {
        OnAck(transfer, tftp::BlockOf(datagram), now);
    } else {
        OnData(transfer, datagram, now);
    }
}

void AgentSim::OnSideDatagram(SocketId socket, const Peer& from,
                              std::span<const std::uint8_t> datagram) {
    for (const Transfer& transfer : transfers) {
        if (std::find(transfer.sideSockets.begin(), transfer.sideSockets.end(), socket) !=
            transfer.sideSockets.end()) {
            if (tftp::OpcodeOf(datagram) != tftp::kOpError) {
                Log([&] { return "datagram on a side port from " + PeerText(from); });
                SendError(socket, from, 5, tftp::ErrorMessage(5));
            }
            return;
        }
    }
}

void AgentSim::OnAck(Transfer& transfer, int block, Millis now) {
    if (block != (transfer.sequence & kBlockMask)) {
        return;  // an old or repeated ACK: answering it would double every later packet
    }
    if (transfer.lastPacket.size() < tftp::kPacketSize) {
        End(FindBySocket(transfer.socket),
            "sent " + std::to_string(transfer.content.size()) + " bytes");
        return;
    }
    ++transfer.sequence;
    SendBlock(transfer, now);
}

void AgentSim::OnData(Transfer& transfer, std::span<const std::uint8_t> datagram, Millis now) {
    const int block = tftp::BlockOf(datagram);
    const auto payload = datagram.subspan(tftp::kHeaderSize);
    if (block == (transfer.sequence & kBlockMask)) {
        // The client missed our ACK and sent the block again.
        Emit(Action::Kind::Send, transfer.socket, transfer.peer, transfer.lastPacket);
        return;
    }
    if (transfer.phase != Phase::Running || block != ((transfer.sequence + 1) & kBlockMask)) {
        return;
    }
    if (transfer.content.size() + payload.size() > settings.largestFile) {
        SendError(transfer.socket, transfer.peer, 3, tftp::ErrorMessage(3));
        End(FindBySocket(transfer.socket), "file too large");
        return;
    }
    transfer.content.insert(transfer.content.end(), payload.begin(), payload.end());
    ++transfer.sequence;
    if (payload.size() < tftp::kBlockSize) {
        FinishWrite(transfer, now);
        return;
    }
    SendPacket(transfer, MakeAck(transfer.sequence), now);
}

// ---- Transfers ----

std::optional<Bytes> AgentSim::ContentFor(std::string_view name) {
    if (name == "status.bin") {
        ++statusReads;
        const std::string text =
            StatusText(lastRole, statusReads, settings.statusSteps, settings.statusFinal);
        return Bytes(text.begin(), text.end());
    }
    if (name == "config.cfg" && !generatedConfig.empty()) {
        return generatedConfig;
    }
    auto stored = storage.Load(name);
    if (!stored && name == "eeprom.bin") {
        return EepromImage();
    }
    return stored;
}

void AgentSim::StartTransfer(const Peer& from, std::string_view name, bool reading, Bytes content,
                             Millis now) {
    Transfer& transfer = transfers.emplace_back();
    transfer.id = nextTransferId++;
    transfer.socket = OpenSocket();
    transfer.peer = from;
    transfer.name = std::string(name);
    transfer.reading = reading;
    transfer.content = std::move(content);
    if (reading) {
        transfer.sequence = 1;
        SendBlock(transfer, now);
    } else {
        transfer.sequence = 0;
        SendPacket(transfer, MakeAck(0), now);
    }
}

void AgentSim::SendBlock(Transfer& transfer, Millis now) {
    const std::size_t offset = static_cast<std::size_t>(transfer.sequence - 1) * tftp::kBlockSize;
    const std::size_t length = std::min(tftp::kBlockSize, transfer.content.size() - offset);
    Bytes packet(tftp::kHeaderSize + length);
    tftp::WriteDataHeader(packet, tftp::kOpData, transfer.sequence, length);
    std::copy_n(transfer.content.begin() + static_cast<long>(offset), length,
                packet.begin() + tftp::kHeaderSize);
    SendPacket(transfer, std::move(packet), now);
}

// The first transmission of a packet; this is where the faults act.
void AgentSim::SendPacket(Transfer& transfer, Bytes packet, Millis now) {
    transfer.lastPacket = std::move(packet);
    transfer.resends = 0;
    transfer.deadline = now + settings.retransmitMs;
    const Bytes& sent = transfer.lastPacket;

    bool send = true;
    bool twice = false;
    bool stall = false;
    Millis delay = 0;
    SocketId from = transfer.socket;
    for (const Fault& fault : settings.faults) {
        if (fault.kind == FaultKind::Error || fault.block != transfer.sequence ||
            !fault.AppliesTo(transfer.name)) {
            continue;
        }
        Log([&] {
            return std::string("fault ") + FaultKeyword(fault.kind) + " at block " +
                   std::to_string(fault.block) + " of " + transfer.name;
        });
        switch (fault.kind) {
            case FaultKind::Error:
                break;
            case FaultKind::Drop:
                send = false;
                break;
            case FaultKind::Delay:
                delay = std::max(delay, fault.delayMs);
                break;
            case FaultKind::Duplicate:
                twice = true;
                break;
            case FaultKind::Stall:
                stall = true;
                break;
            case FaultKind::WrongPort:
                from = OpenSocket();
                transfer.sideSockets.push_back(from);
                break;
            case FaultKind::Short:
                Emit(Action::Kind::Send, transfer.socket, transfer.peer,
                     Bytes(sent.begin(), sent.begin() + 3));
                break;
            case FaultKind::Oversize: {
                Bytes big(kOversizeLength, kFillerByte);
                std::copy_n(sent.begin(), tftp::kHeaderSize, big.begin());
                Emit(Action::Kind::Send, transfer.socket, transfer.peer, std::move(big));
                break;
            }
            case FaultKind::Stray: {
                const SocketId side = OpenSocket();
                transfer.sideSockets.push_back(side);
                Bytes imposter(sent.begin(), sent.begin() + tftp::kHeaderSize);
                if (transfer.reading) {
                    imposter.resize(tftp::kPacketSize, kFillerByte);
                }
                Emit(Action::Kind::Send, side, transfer.peer, std::move(imposter));
                break;
            }
        }
    }

    if (send) {
        const int copies = twice ? 2 : 1;
        for (int copy = 0; copy < copies; ++copy) {
            if (delay > 0) {
                Hold(transfer.id, now + delay,
                     Action{Action::Kind::Send, from, transfer.peer, sent});
            } else {
                Emit(Action::Kind::Send, from, transfer.peer, sent);
            }
        }
        transfer.deadline += delay;
    }
    if (stall) {
        // Silent from now on; the transfer is dropped once a client would have given up.
        transfer.phase = Phase::Stalled;
        transfer.deadline = now + settings.retransmitMs * (settings.retransmits + 1);
    }
}

void AgentSim::Resend(Transfer& transfer, Millis now) {
    ++transfer.resends;
    transfer.deadline = now + settings.retransmitMs;
    Emit(Action::Kind::Send, transfer.socket, transfer.peer, transfer.lastPacket);
}

void AgentSim::FinishWrite(Transfer& transfer, Millis now) {
    if (!storage.Store(transfer.name, transfer.content)) {
        SendError(transfer.socket, transfer.peer, 3, tftp::ErrorMessage(3));
        End(FindBySocket(transfer.socket), "could not store the file");
        return;
    }
    Log([&] {
        return "received " + transfer.name + ", " + std::to_string(transfer.content.size()) +
               " bytes";
    });
    lastReceived = transfer.name;
    lastRole = WritableRole(transfer.name).value_or(FileRole::None);
    statusReads = 0;
    if (lastRole == FileRole::Request) {
        generatedConfig = GenerateConfig(transfer.content);
    } else if (lastRole == FileRole::Config) {
        generatedConfig.clear();  // the configuration written is now the one served
    }
    SendPacket(transfer, MakeAck(transfer.sequence), now);
    if (transfer.phase == Phase::Running) {
        // Stay a while to acknowledge the last block again if our ACK gets lost.
        transfer.phase = Phase::Dallying;
        transfer.deadline = now + settings.retransmitMs * settings.retransmits;
    }
}

void AgentSim::End(TransferList::iterator transfer, std::string_view why) {
    if (transfer == transfers.end()) {
        return;
    }
    Log([&] {
        return "transfer " + transfer->name + " with " + PeerText(transfer->peer) +
               " ended: " + std::string(why);
    });
    const std::uint64_t id = transfer->id;
    // Packets already on their way over the latency still arrive; those the delay fault holds
    // are dropped.
    std::erase_if(delayed, [id](const Delayed& held) { return held.transferId == id; });
    Emit(Action::Kind::Close, transfer->socket);
    for (const SocketId side : transfer->sideSockets) {
        Emit(Action::Kind::Close, side);
    }
    transfers.erase(transfer);
}

// ---- Time ----

void AgentSim::OnTime(Millis now) {
    eventTime = now;
    // Held actions leave in the order they fell due. A packet the delay fault held starts over
    // the latency now, so with a latency it is held again and cannot be due at once.
    while (!delayed.empty() && delayed.front().due <= now) {
        Delayed held = std::move(delayed.front());
        delayed.pop_front();
        if (held.transferId != 0) {
            Emit(held.action.kind, held.action.socket, held.action.to,
                 std::move(held.action.bytes));
        } else {
            actions.push_back(std::move(held.action));
        }
    }
    for (auto it = transfers.begin(); it != transfers.end();) {
        const auto current = it++;
        if (current->deadline > now) {
            continue;
        }
        switch (current->phase) {
            case Phase::Running:
                if (current->resends >= settings.retransmits) {
                    End(current, "no answer");
                } else {
                    Resend(*current, now);
                }
                break;
            case Phase::Dallying:
                End(current, "received " + std::to_string(current->content.size()) + " bytes");
                break;
            case Phase::Stalled:
                End(current, "stalled");
                break;
        }
    }
}

// ---- Output ----

void AgentSim::RefuseRequest(const Peer& to, int code, std::string_view text) {
    // Agents answer from a new port even when they refuse.
    const SocketId socket = OpenSocket();
    SendError(socket, to, code, text);
    Emit(Action::Kind::Close, socket);
}

void AgentSim::SendError(SocketId socket, const Peer& to, int code, std::string_view text) {
    Log([&] {
        return "ERROR " + std::to_string(code) + " \"" + std::string(text) + "\" to " +
               PeerText(to);
    });
    std::array<std::uint8_t, tftp::kPacketSize> packet{};
    const std::size_t length = tftp::WriteError(packet, code, text);
    Emit(Action::Kind::Send, socket, to,
         Bytes(packet.begin(), packet.begin() + static_cast<long>(length)));
}

SocketId AgentSim::OpenSocket() {
    const SocketId socket = nextSocket++;
    Emit(Action::Kind::Open, socket);
    return socket;
}

void AgentSim::Emit(Action::Kind kind, SocketId socket, const Peer& to, Bytes bytes) {
    Action action{kind, socket, to, std::move(bytes)};
    // A socket opens at once (its port is no datagram); a close waits behind the sends queued
    // before it, so the socket is still there when they leave.
    if (settings.latencyMs > 0 && kind != Action::Kind::Open) {
        Hold(0, eventTime + settings.latencyMs, std::move(action));
        return;
    }
    // An event mostly asks for a few actions (open, send, close): room for them at once rather
    // than growing one by one after every TakeActions.
    if (actions.empty()) {
        actions.reserve(4);
    }
    actions.push_back(std::move(action));
}

void AgentSim::Hold(std::uint64_t transferId, Millis due, Action action) {
    // After every action due at the same time or sooner, so that equal times keep their order.
    const auto at =
        std::upper_bound(delayed.begin(), delayed.end(), due,
                         [](Millis when, const Delayed& held) { return when < held.due; });
    delayed.insert(at, Delayed{transferId, due, std::move(action)});
}

AgentSim::TransferList::iterator AgentSim::FindBySocket(SocketId socket) {
    return std::find_if(transfers.begin(), transfers.end(),
                        [socket](const Transfer& transfer) { return transfer.socket == socket; });
}

}  // namespace kalvoran::agentsim

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

// DATA block (1 on) of content cut in blocks of blksize; the last one is shorter, maybe empty.
Bytes MakeData(const Bytes& content, std::size_t blksize, int block) {
    const std::size_t offset = static_cast<std::size_t>(block - 1) * blksize;
    const std::size_t length = std::min(blksize, content.size() - offset);
    Bytes packet(tftp::kHeaderSize + length);
    tftp::WriteDataHeader(packet, tftp::kOpData, block, length);
    std::copy_n(content.begin() + static_cast<long>(offset), length,
                packet.begin() + tftp::kHeaderSize);
    return packet;
}

int LastBlock(std::size_t contentLength, std::size_t blksize) {
    return static_cast<int>(contentLength / blksize) + 1;
}

// The pairs of an option list as "name=value" words, for the log and the record.
std::string PairsText(std::span<const tftp::OptionPair> pairs) {
    std::string text;
    for (const tftp::OptionPair& pair : pairs) {
        if (!text.empty()) {
            text += ' ';
        }
        text.append(pair.name).append("=").append(pair.value);
    }
    return text;
}

// Faults that act on a packet the agent sends rather than on a request or a received block.
bool ActsOnSentPacket(FaultKind kind, bool reading) {
    switch (kind) {
        case FaultKind::Drop:
        case FaultKind::Delay:
        case FaultKind::Duplicate:
        case FaultKind::Stall:
        case FaultKind::WrongPort:
        case FaultKind::Short:
        case FaultKind::Oversize:
        case FaultKind::Stray:
            return true;
        case FaultKind::DropInWindow:
            return reading;
        case FaultKind::Error:
        case FaultKind::Lose:
        case FaultKind::IgnoreOptions:
        case FaultKind::OptionsError:
        case FaultKind::OackLargerBlksize:
        case FaultKind::OackUnrequested:
        case FaultKind::OackMalformed:
            return false;
    }
    return false;
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
    : storage(fileStorage), settings(std::move(initialSettings)) {
    settings.maxBlksize = std::clamp(settings.maxBlksize, tftp::kMinBlksize, tftp::kMaxBlksize);
    settings.maxWindowsize =
        std::clamp(settings.maxWindowsize, tftp::kMinWindowsize, tftp::kMaxWindowsize);
}

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
    if (!OptionsWellFormed(request->options)) {
        Log([&] { return "request with trailing bytes from " + PeerText(from); });
        RefuseRequest(from, 4, tftp::ErrorMessage(4));
        return;
    }
    const bool reading = request->opcode == tftp::kOpRrq;
    const std::string name(request->name);
    // More pairs than the reader keeps, or an empty name: no option the agent knows.
    const auto pairs = tftp::ParseOptionPairs(request->options);
    std::string options = pairs ? PairsText(pairs->Pairs()) : "unreadable";
    Log([&] {
        return std::string(reading ? "RRQ " : "WRQ ") + name + " mode " +
               std::string(request->mode) + " from " + PeerText(from) +
               (options.empty() ? "" : " options " + options);
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
        const bool untouched =
            current->sequence == (current->reading && !current->negotiated ? 1 : 0);
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

    Asked asked = pairs ? ReadAsked(pairs->Pairs()) : Asked{};
    if (!request->options.empty()) {
        for (const Fault& fault : settings.faults) {
            if (fault.kind == FaultKind::OptionsError && fault.AppliesTo(name)) {
                Log([&] { return "fault options-error: ERROR 8 for " + name; });
                RefuseRequest(from, tftp::kErrorOptionsRefused, kOptionsRefusedText);
                return;
            }
        }
        if (HasFault(FaultKind::IgnoreOptions, name)) {
            Log([&] { return "fault ignore-options: " + name + " served without options"; });
            asked = {};
        }
    }

    Bytes content;
    if (reading) {
        auto served = ContentFor(name);
        if (!served) {
            RefuseRequest(from, 1, tftp::ErrorMessage(1));
            return;
        }
        content = std::move(*served);
    } else {
        if (!WritableRole(name)) {
            RefuseRequest(from, 2, tftp::ErrorMessage(2));
            return;
        }
        // RFC 2349: a file announced larger than the agent takes is refused at once.
        if (asked.tsize > 0 && static_cast<std::uint64_t>(asked.tsize) > settings.largestFile) {
            RefuseRequest(from, 3, tftp::ErrorMessage(3));
            return;
        }
    }
    StartTransfer(from, name, reading, std::move(content), std::move(options),
                  asked.Any() ? &asked : nullptr, now);
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
    // A write's DATA holds at most the agreed block size.
    const std::size_t largest =
        transfer.reading ? tftp::kPacketSize : tftp::kHeaderSize + transfer.blksize;
    const bool expected = datagram[0] == 0 && datagram.size() <= largest &&
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
    if (transfer.sequence == 0) {
        // The OACK of a read waits for ACK 0.
        if (block == 0) {
            SendWindow(transfer, 1, now);
        }
        return;
    }
    // Only an ACK of a block in flight moves the transfer on; an old or repeated one answered
    // would double every later packet.
    const int ahead = (block - transfer.acked) & kBlockMask;
    if (ahead == 0 || ahead > transfer.sequence - transfer.acked) {
        return;
    }
    transfer.acked += ahead;
    if (transfer.acked == LastBlock(transfer.content.size(), transfer.blksize)) {
        End(FindBySocket(transfer.socket),
            "sent " + std::to_string(transfer.content.size()) + " bytes");
        return;
    }
    SendWindow(transfer, transfer.acked + 1, now);
}

void AgentSim::OnData(Transfer& transfer, std::span<const std::uint8_t> datagram, Millis now) {
    const int block = tftp::BlockOf(datagram);
    const auto payload = datagram.subspan(tftp::kHeaderSize);
    ++transfer.dataPackets;
    const int behind = (transfer.acked - block) & kBlockMask;
    if (behind < transfer.windowsize && behind <= transfer.acked) {
        // The client missed our ACK and sent an acknowledged block again.
        Emit(Action::Kind::Send, transfer.socket, transfer.peer, transfer.lastPacket);
        return;
    }
    if (transfer.phase != Phase::Running) {
        return;
    }
    const int ahead = (block - transfer.sequence) & kBlockMask;
    if (ahead != 1) {
        // A block beyond the next one: one before it was lost. Acknowledge what came in order,
        // once for this window, and drop the rest until the client goes back to the gap.
        if (ahead >= 2 && ahead <= transfer.windowsize && !transfer.gapAnswered) {
            Log([&] {
                return "gap before block " + std::to_string(block) + " of " + transfer.name;
            });
            transfer.gapAnswered = true;
            Acknowledge(transfer, now);
        }
        return;
    }
    if (DiscardsData(transfer, now)) {
        return;
    }
    if (transfer.content.size() + payload.size() > settings.largestFile) {
        SendError(transfer.socket, transfer.peer, 3, tftp::ErrorMessage(3));
        End(FindBySocket(transfer.socket), "file too large");
        return;
    }
    transfer.content.insert(transfer.content.end(), payload.begin(), payload.end());
    ++transfer.sequence;
    transfer.gapAnswered = false;
    if (payload.size() < transfer.blksize) {
        FinishWrite(transfer, now);
    } else if (transfer.sequence - transfer.acked >= transfer.windowsize) {
        Acknowledge(transfer, now);
    } else {
        // Within a window: the time-out runs from the client's latest block.
        transfer.deadline = now + settings.retransmitMs;
        transfer.resends = 0;
    }
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

// The first usable value of each option the agent knows counts: a blksize of 8 or more (above
// the agent's limit it is lowered later), a windowsize of 1 or more, and tsize.
AgentSim::Asked AgentSim::ReadAsked(std::span<const tftp::OptionPair> pairs) {
    Asked asked;
    for (const tftp::OptionPair& pair : pairs) {
        const auto number = tftp::OptionNumber(pair.value);
        if (!number) {
            continue;
        }
        if (tftp::SameOptionName(pair.name, tftp::kBlksizeOption) && asked.blksize == 0 &&
            *number >= tftp::kMinBlksize) {
            asked.blksize = *number;
        } else if (tftp::SameOptionName(pair.name, tftp::kWindowsizeOption) &&
                   asked.windowsize == 0 && *number >= tftp::kMinWindowsize) {
            asked.windowsize = *number;
        } else if (tftp::SameOptionName(pair.name, tftp::kTsizeOption) && asked.tsize < 0) {
            asked.tsize = *number;
        }
    }
    return asked;
}

bool AgentSim::HasFault(FaultKind kind, std::string_view name) const {
    return std::any_of(
        settings.faults.begin(), settings.faults.end(),
        [kind, name](const Fault& fault) { return fault.kind == kind && fault.AppliesTo(name); });
}

void AgentSim::StartTransfer(const Peer& from, std::string_view name, bool reading, Bytes content,
                             std::string options, const Asked* asked, Millis now) {
    Transfer& transfer = transfers.emplace_back();
    transfer.id = nextTransferId++;
    transfer.socket = OpenSocket();
    transfer.peer = from;
    transfer.name = std::string(name);
    transfer.reading = reading;
    transfer.content = std::move(content);
    transfer.options = std::move(options);
    transfer.discarded.assign(settings.faults.size(), 0);
    if (asked != nullptr) {
        transfer.negotiated = true;
        SendPacket(transfer, Agree(transfer, *asked), now);
    } else if (reading) {
        SendWindow(transfer, 1, now);
    } else {
        SendPacket(transfer, MakeAck(0), now);
    }
}

// Settles the options the transfer uses and returns the OACK that names them, as the OACK
// faults shape it. A write's tsize echoes the length announced, a read's is the file's.
Bytes AgentSim::Agree(Transfer& transfer, const Asked& asked) {
    std::array<std::string, 3> values;
    std::array<tftp::OptionPair, 4> pairs;
    std::size_t count = 0;
    const auto add = [&](std::string_view option, std::int64_t value) {
        values[count] = std::to_string(value);
        pairs[count] = {option, values[count]};
        ++count;
    };
    const auto committed = [&](FaultKind kind) {
        if (!HasFault(kind, transfer.name)) {
            return false;
        }
        Log([&] { return std::string("fault ") + FaultKeyword(kind) + " for " + transfer.name; });
        return true;
    };
    if (asked.blksize != 0) {
        transfer.blksize =
            static_cast<std::size_t>(std::min<std::int64_t>(asked.blksize, settings.maxBlksize));
        add(tftp::kBlksizeOption, committed(FaultKind::OackLargerBlksize)
                                      ? asked.blksize + 1
                                      : static_cast<std::int64_t>(transfer.blksize));
    }
    if (asked.windowsize != 0) {
        transfer.windowsize =
            static_cast<int>(std::min<std::int64_t>(asked.windowsize, settings.maxWindowsize));
        add(tftp::kWindowsizeOption, transfer.windowsize);
    }
    if (asked.tsize >= 0) {
        transfer.tsize =
            transfer.reading ? static_cast<std::int64_t>(transfer.content.size()) : asked.tsize;
        add(tftp::kTsizeOption, transfer.tsize);
    }
    if (committed(FaultKind::OackUnrequested)) {
        pairs[count++] = {"timeout", "5"};
    }
    Log([&] {
        return "OACK " + PairsText(std::span(pairs).first(count)) + " to " +
               PeerText(transfer.peer);
    });
    // Names of at most 10 characters and values of at most 19 digits, four pairs at most.
    std::array<std::uint8_t, 160> packet{};
    Bytes oack(packet.begin(), packet.begin() + static_cast<long>(tftp::WriteOack(
                                                    packet, std::span(pairs).first(count))));
    if (committed(FaultKind::OackMalformed) && oack.size() > 2) {
        oack.pop_back();  // the zero byte that ends the last value
    }
    return oack;
}

// Sends DATA from block first on, a window's worth or up to the end of the file. A block sent
// before goes again as it is; a new one goes through the faults.
void AgentSim::SendWindow(Transfer& transfer, int first, Millis now) {
    const int last = std::min(first + transfer.windowsize - 1,
                              LastBlock(transfer.content.size(), transfer.blksize));
    transfer.resends = 0;
    transfer.deadline = now + settings.retransmitMs;
    for (int block = first; block <= last && transfer.phase == Phase::Running; ++block) {
        Bytes packet = MakeData(transfer.content, transfer.blksize, block);
        if (block > transfer.sequence) {
            transfer.sequence = block;
            SendFirst(transfer, packet, now);
        } else {
            ++transfer.dataPackets;
            Emit(Action::Kind::Send, transfer.socket, transfer.peer, std::move(packet));
        }
    }
}

// A write acknowledges every block it has received in order.
void AgentSim::Acknowledge(Transfer& transfer, Millis now) {
    transfer.acked = transfer.sequence;
    SendPacket(transfer, MakeAck(transfer.sequence), now);
}

// Whether a fault makes the write discard the next block in order, just received, as a lossy
// network would. The client is there, so the time-out starts afresh from this block.
bool AgentSim::DiscardsData(Transfer& transfer, Millis now) {
    const int block = transfer.sequence + 1;
    for (std::size_t i = 0; i < settings.faults.size(); ++i) {
        const Fault& fault = settings.faults[i];
        const bool discarding =
            fault.kind == FaultKind::Lose || fault.kind == FaultKind::DropInWindow;
        const int times = fault.kind == FaultKind::Lose ? fault.count : 1;
        if (!discarding || fault.block != block || !fault.AppliesTo(transfer.name) ||
            transfer.discarded[i] >= times) {
            continue;
        }
        ++transfer.discarded[i];
        Log([&] {
            return std::string("fault ") + FaultKeyword(fault.kind) + " at block " +
                   std::to_string(block) + " of " + transfer.name + ", " +
                   std::to_string(transfer.discarded[i]) + " of " + std::to_string(times);
        });
        transfer.deadline = now + settings.retransmitMs;
        transfer.resends = 0;
        return true;
    }
    return false;
}

// A packet of its own that the time-out sends again: the ACK or OACK of a write, the OACK of a
// read.
void AgentSim::SendPacket(Transfer& transfer, Bytes packet, Millis now) {
    transfer.lastPacket = std::move(packet);
    transfer.resends = 0;
    transfer.deadline = now + settings.retransmitMs;
    SendFirst(transfer, transfer.lastPacket, now);
}

// The first transmission of packet number transfer.sequence; this is where the faults act. The
// caller has set the time-out, which a delay puts off.
void AgentSim::SendFirst(Transfer& transfer, const Bytes& sent, Millis now) {
    const bool faulted = transfer.sequence > transfer.faultedThrough;
    transfer.faultedThrough = std::max(transfer.faultedThrough, transfer.sequence);
    bool send = true;
    bool twice = false;
    bool stall = false;
    Millis delay = 0;
    SocketId from = transfer.socket;
    for (const Fault& fault : settings.faults) {
        if (!faulted || !ActsOnSentPacket(fault.kind, transfer.reading) ||
            fault.block != transfer.sequence || !fault.AppliesTo(transfer.name)) {
            continue;
        }
        Log([&] {
            return std::string("fault ") + FaultKeyword(fault.kind) + " at block " +
                   std::to_string(fault.block) + " of " + transfer.name;
        });
        switch (fault.kind) {
            case FaultKind::Drop:
            case FaultKind::DropInWindow:
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
            case FaultKind::Error:
            case FaultKind::Lose:
            case FaultKind::IgnoreOptions:
            case FaultKind::OptionsError:
            case FaultKind::OackLargerBlksize:
            case FaultKind::OackUnrequested:
            case FaultKind::OackMalformed:
                break;
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
        if (tftp::OpcodeOf(sent) == tftp::kOpData) {
            transfer.dataPackets += copies;
        }
        transfer.deadline = std::max(transfer.deadline, now + settings.retransmitMs + delay);
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
    if (transfer.reading && transfer.sequence > 0) {
        // The window in flight, from the block after the last one acknowledged.
        for (int block = transfer.acked + 1; block <= transfer.sequence; ++block) {
            ++transfer.dataPackets;
            Emit(Action::Kind::Send, transfer.socket, transfer.peer,
                 MakeData(transfer.content, transfer.blksize, block));
        }
        return;
    }
    if (!transfer.reading && transfer.sequence > transfer.acked) {
        // Part of a window came and the rest did not: acknowledge what came, so that the
        // client goes on from there.
        transfer.acked = transfer.sequence;
        transfer.lastPacket = MakeAck(transfer.sequence);
    }
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
               " bytes in " + std::to_string(transfer.dataPackets) + " DATA, blksize " +
               std::to_string(transfer.blksize) + ", windowsize " +
               std::to_string(transfer.windowsize);
    });
    lastReceived = transfer.name;
    lastRole = WritableRole(transfer.name).value_or(FileRole::None);
    statusReads = 0;
    if (lastRole == FileRole::Request) {
        generatedConfig = GenerateConfig(transfer.content);
    } else if (lastRole == FileRole::Config) {
        generatedConfig.clear();  // the configuration written is now the one served
    }
    Acknowledge(transfer, now);
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
               " ended: " + std::string(why) + "; " + std::to_string(transfer->dataPackets) +
               (transfer->reading ? " DATA sent" : " DATA received") + ", blksize " +
               std::to_string(transfer->blksize) + ", windowsize " +
               std::to_string(transfer->windowsize);
    });
    if (settings.transferEnded) {
        settings.transferEnded(TransferRecord{
            transfer->name, transfer->reading, transfer->options, transfer->negotiated,
            static_cast<int>(transfer->blksize), transfer->windowsize, transfer->tsize,
            transfer->dataPackets, transfer->content.size(), std::string(why)});
    }
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

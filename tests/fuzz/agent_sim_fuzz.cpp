// libFuzzer target over the simulated agent's protocol machine: datagrams from several peers in,
// actions out, in simulated time, with faults parsed from the command-line form (ParseFault).
//
// Input:
//   byte 0     settings: bits 0-1 latency (0, 0, 5 or 40 ms), bits 2-3 intermediate status steps,
//              bit 4 a small largest file (1500 bytes), bit 5 at most two transfers at once,
//              bits 6-7 resends before a transfer is given up
//   byte 1     length N of the fault list, then N bytes: faults, one a line, each as ParseFault
//              reads it (at most eight are committed)
//   then events, each a control byte: bits 0-2 the peer (four addresses, two ports each);
//   bits 3-4 where the datagram goes: the listen socket, the socket the agent last sent this
//   peer from, a socket named by the next byte, or no datagram (time passes: the agent's next
//   deadline or a step); bits 5-7 the datagram: raw bytes (a length byte, then the bytes), the
//   ACK of the last DATA (or OACK) that socket sent, the next DATA block of a write (a length
//   byte; the block after the agent's last ACK there, or after the DATA sent since), a
//   read or a write request (a name byte; a mode byte, which also picks the options it carries),
//   or an ERROR. A byte before each event lets that many times 4 ms pass.
//
// The same input runs twice on fresh agents: the actions must agree.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzTarget.h"
#include "agent-sim/AgentFaults.h"
#include "agent-sim/AgentFiles.h"
#include "agent-sim/AgentSim.h"
#include "tftp/TftpPacket.h"

namespace {

using namespace std::string_view_literals;
namespace agentsim = kalvoran::agentsim;
namespace tftp = kalvoran::tftp;
using agentsim::Action;
using agentsim::Bytes;
using agentsim::Fault;
using agentsim::FaultKind;
using agentsim::Millis;
using agentsim::SocketId;

using kalvoran::fuzzing::Check;

constexpr std::size_t kMostFaults = 8;
constexpr int kMostEvents = 64;
constexpr std::size_t kSmallLargestFile = 1500;
constexpr std::size_t kImageSize = 1100;

constexpr std::array<std::string_view, 12> kNames = {
    "status.bin",  "eeprom.bin", "config.cfg", "image.bin", "rom.bin", "command.cmd",
    "request.cfg", "logo.gif",   "absent.bin", "../etc/pw", ".hidden", "a\x01z"};
constexpr std::array<std::string_view, 4> kModes = {"octet", "NETASCII", "mail", "octet\0blksize"};
// Option tails of a request: none, sizes within and beyond the agent's limits, a small block
// and window, unknown names and values, and a blksize without its value.
constexpr std::array<std::string_view, 7> kOptionTails = {{{},
                                                           "tsize\0"
                                                           "0\0"sv,
                                                           "blksize\0"
                                                           "16\0"
                                                           "windowsize\0"
                                                           "3\0"
                                                           "tsize\0"
                                                           "1100\0"sv,
                                                           "BLKSIZE\0"
                                                           "70000\0"
                                                           "WindowSize\0"
                                                           "100\0"sv,
                                                           "timeout\0"
                                                           "5\0"
                                                           "blksize\0"
                                                           "x\0"sv,
                                                           "windowsize\0"
                                                           "2\0"sv,
                                                           "blksize\0"sv}};

// The command-line form of a fault, as ParseFault reads it.
std::string FaultText(const Fault& fault) {
    std::string text = agentsim::FaultKeyword(fault.kind);
    if (fault.kind == FaultKind::Error) {
        text += ":" + fault.name + ":" + std::to_string(fault.errorCode);
        if (!fault.errorText.empty()) {
            text += ":" + fault.errorText;
        }
        return text;
    }
    if (agentsim::FaultNumbers(fault.kind) > 0) {
        text += ":" + std::to_string(fault.block);
    }
    if (fault.kind == FaultKind::Delay) {
        text += ":" + std::to_string(fault.delayMs);
    } else if (fault.kind == FaultKind::Lose) {
        text += ":" + std::to_string(fault.count);
    }
    if (!fault.name.empty()) {
        text += "@" + fault.name;
    }
    return text;
}

std::vector<Fault> ParseFaults(std::string_view list) {
    std::vector<Fault> faults;
    while (!list.empty()) {
        const std::size_t end = list.find('\n');
        const std::string_view line = list.substr(0, end);
        list = end == std::string_view::npos ? std::string_view() : list.substr(end + 1);
        // A command-line argument holds no zero byte.
        const auto fault =
            line.find('\0') == std::string_view::npos ? agentsim::ParseFault(line) : std::nullopt;
        if (!fault) {
            continue;
        }
        const std::string_view keyword = agentsim::FaultKeyword(fault->kind);
        const std::string_view after = line.substr(keyword.size());
        Check(line.starts_with(keyword) && (after.empty() || after[0] == ':' || after[0] == '@'));
        Check(fault->block >= 0 && fault->block <= 65535);
        Check(fault->delayMs >= 0 && fault->delayMs <= 600000);
        Check(fault->errorCode >= 0 && fault->errorCode <= 65535);
        Check(fault->kind != FaultKind::Error || !fault->name.empty());
        // Written out again, it reads back the same.
        const auto again = agentsim::ParseFault(FaultText(*fault));
        Check(again && again->kind == fault->kind && again->block == fault->block &&
              again->delayMs == fault->delayMs && again->count == fault->count &&
              again->errorCode == fault->errorCode && again->errorText == fault->errorText &&
              again->name == fault->name);
        if (faults.size() < kMostFaults) {
            faults.push_back(*fault);
        }
    }
    return faults;
}

agentsim::Peer PeerOf(int index) {
    return {0x7F000A01u + static_cast<std::uint32_t>(index / 2),
            static_cast<std::uint16_t>(40000 + index % 2)};
}

Bytes Request(int opcode, std::string_view name, std::string_view mode, std::string_view options) {
    Bytes packet{0, static_cast<std::uint8_t>(opcode)};
    packet.insert(packet.end(), name.begin(), name.end());
    packet.push_back(0);
    packet.insert(packet.end(), mode.begin(), mode.end());
    packet.push_back(0);
    packet.insert(packet.end(), options.begin(), options.end());
    return packet;
}

// Follows the actions the agent asks for and checks that they make sense to a driver.
class Driver {
public:
    Driver(const agentsim::Settings& agentSettings, bool oddDatagrams, bool wellFormedOacks)
        : maxTransfers(static_cast<std::size_t>(agentSettings.maxTransfers)),
          oddSizes(oddDatagrams),
          oacksWellFormed(wellFormedOacks) {
        // Room for the actions of most inputs, so the record seldom grows.
        history.reserve(1024);
    }

    // Checks the actions taken since the last call; erroneous tells that they answer an ERROR.
    void Take(agentsim::AgentSim& agent, bool answersError) {
        for (Action& action : agent.TakeActions()) {
            switch (action.kind) {
                case Action::Kind::Open:
                    // A fresh socket each time, numbered on from the listen socket.
                    Check(action.socket == nextSocket);
                    ++nextSocket;
                    open.insert(action.socket);
                    break;
                case Action::Kind::Close:
                    // Only a socket that is open, once.
                    Check(open.erase(action.socket) == 1);
                    lastSent.erase(action.socket);
                    nextData.erase(action.socket);
                    break;
                case Action::Kind::Send:
                    CheckSend(action, answersError);
                    break;
            }
            history.push_back(static_cast<std::uint8_t>(action.kind));
            history.push_back(static_cast<std::uint8_t>(action.socket));
            history.insert(history.end(), action.bytes.begin(), action.bytes.end());
        }
        Check(agent.ActiveTransfers() <= maxTransfers);
    }

    SocketId SocketTo(const agentsim::Peer& peer) const {
        const auto found = lastFrom.find(Key(peer));
        return found != lastFrom.end() && open.count(found->second) != 0 ? found->second
                                                                         : agentsim::kListenSocket;
    }
    // The block a writing client sends next to that socket: the one after the agent's last ACK
    // (1 after an OACK), or after the DATA sent since.
    int NextDataOn(SocketId socket) const {
        const auto found = nextData.find(socket);
        return found == nextData.end() ? 1 : found->second;
    }
    void SentData(SocketId socket, int block) { nextData[socket] = (block + 1) & 0xFFFF; }
    const Bytes* LastSentOn(SocketId socket) const {
        const auto found = lastSent.find(socket);
        return found == lastSent.end() ? nullptr : &found->second;
    }
    SocketId SocketCount() const { return nextSocket; }
    void Spoke(const agentsim::Peer& peer) { peers.insert(Key(peer)); }
    const Bytes& History() const { return history; }

private:
    static std::uint64_t Key(const agentsim::Peer& peer) {
        return (std::uint64_t{peer.address} << 16) | peer.port;
    }

    void CheckSend(const Action& action, bool answersError) {
        // From a socket of its own that is open, to a peer that has spoken to it.
        Check(action.socket != agentsim::kListenSocket && open.count(action.socket) == 1);
        Check(peers.count(Key(action.to)) == 1);
        const Bytes& bytes = action.bytes;
        Check(bytes.size() <= std::max(agentsim::kOversizeLength, tftp::kLargestPacket));
        if (!oddSizes) {
            Check(tftp::IsWholePacket(bytes) && bytes.size() <= tftp::kLargestPacket);
        }
        // The oversize fault's datagram starts like a packet and goes on with filler.
        const bool oversize = oddSizes && bytes.size() == agentsim::kOversizeLength;
        if (tftp::IsWholePacket(bytes) && bytes.size() <= tftp::kLargestPacket && !oversize) {
            const int opcode = tftp::OpcodeOf(bytes);
            Check(bytes[0] == 0 && (opcode == tftp::kOpData || opcode == tftp::kOpAck ||
                                    opcode == tftp::kOpError || opcode == tftp::kOpOack));
            if (opcode == tftp::kOpOack && oacksWellFormed) {
                // Only the options it knows, each once, with a number.
                const auto pairs = tftp::ParseOptionPairs(std::span(bytes).subspan(2));
                Check(pairs.has_value() && pairs->count > 0 && pairs->count <= 3);
                for (const tftp::OptionPair& pair : pairs->Pairs()) {
                    Check(tftp::OptionNumber(pair.value).has_value());
                    Check(pair.name == tftp::kBlksizeOption ||
                          pair.name == tftp::kWindowsizeOption || pair.name == tftp::kTsizeOption);
                }
            }
            if (opcode == tftp::kOpAck) {
                Check(bytes.size() == tftp::kHeaderSize);
                nextData[action.socket] = (tftp::BlockOf(bytes) + 1) & 0xFFFF;
            } else if (opcode == tftp::kOpOack) {
                nextData[action.socket] = 1;
            }
            if (opcode == tftp::kOpError) {
                // Never an ERROR for an ERROR; its text ends at its one zero byte.
                Check(!answersError);
                Check(bytes.size() > tftp::kHeaderSize && bytes.back() == 0);
                Check(tftp::ErrorTextOf(bytes).size() == bytes.size() - tftp::kHeaderSize - 1);
            }
        }
        lastSent[action.socket] = bytes;
        lastFrom[Key(action.to)] = action.socket;
    }

    std::size_t maxTransfers;
    bool oddSizes;
    bool oacksWellFormed;
    SocketId nextSocket = agentsim::kListenSocket + 1;
    std::set<SocketId> open;
    std::set<std::uint64_t> peers;
    std::map<SocketId, Bytes> lastSent;
    std::map<SocketId, int> nextData;
    std::map<std::uint64_t, SocketId> lastFrom;
    Bytes history;
};

// The settings and fault list the input opens with; at is moved past them.
agentsim::Settings SettingsOf(const std::uint8_t* data, std::size_t size, std::size_t& at) {
    const auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    const std::uint8_t setup = next();
    agentsim::Settings settings;
    constexpr std::array<Millis, 4> kLatencies = {0, 0, 5, 40};
    settings.latencyMs = kLatencies[setup & 0x03];
    settings.statusSteps = (setup >> 2) & 0x03;
    if ((setup & 0x10) != 0) {
        settings.largestFile = kSmallLargestFile;
    }
    settings.maxTransfers = (setup & 0x20) != 0 ? 2 : 64;
    settings.retransmits = (setup >> 6) & 0x03;
    const std::size_t faultLength = std::min<std::size_t>(next(), size - at);
    settings.faults =
        ParseFaults(std::string_view(reinterpret_cast<const char*>(data) + at, faultLength));
    at += faultLength;
    return settings;
}

// One run of the events (from at on) on a fresh agent; returns every action in order.
Bytes Run(const agentsim::Settings& settings, const std::uint8_t* data, std::size_t size,
          std::size_t at) {
    const auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
    const auto committed = [&settings](std::initializer_list<FaultKind> kinds) {
        return std::any_of(settings.faults.begin(), settings.faults.end(), [kinds](const Fault& f) {
            return std::find(kinds.begin(), kinds.end(), f.kind) != kinds.end();
        });
    };
    const bool oddSizes = committed({FaultKind::Short, FaultKind::Oversize});
    // A stray look-alike of an OACK carries filler for its pairs.
    const bool oacksWellFormed = !committed({FaultKind::OackMalformed, FaultKind::OackUnrequested,
                                             FaultKind::OackLargerBlksize, FaultKind::Stray});

    // Files to read: a stored image of two full blocks and a part, and an EEPROM image cut to
    // five full blocks (the agent serves a stored one as its own; the whole 32 KB would only
    // make each input slower).
    agentsim::MemoryStorage storage;
    storage.files["image.bin"] = Bytes(kImageSize, 0x5A);
    static const Bytes kEeprom = [] {
        Bytes image = agentsim::EepromImage();
        image.resize(5 * tftp::kBlockSize);
        return image;
    }();
    storage.files["eeprom.bin"] = kEeprom;
    agentsim::AgentSim agent(storage, settings);
    Driver driver(settings, oddSizes, oacksWellFormed);
    Millis now = 0;

    for (int event = 0; event < kMostEvents && at < size; ++event) {
        now += Millis{next()} * 4;
        const std::uint8_t control = next();
        const agentsim::Peer peer = PeerOf(control & 0x07);
        const int target = (control >> 3) & 0x03;
        if (target == 3) {
            const auto deadline = agent.NextDeadline();
            now = deadline && *deadline > now ? *deadline : now;
            agent.OnTime(now);
            // Everything due has been done.
            const auto after = agent.NextDeadline();
            Check(!after || *after > now);
            driver.Take(agent, false);
            continue;
        }
        SocketId socket = agentsim::kListenSocket;
        if (target == 1) {
            socket = driver.SocketTo(peer);
        } else if (target == 2) {
            socket = static_cast<SocketId>(next() % (driver.SocketCount() + 1));
        }

        Bytes datagram;
        switch (control >> 5) {
            case 1:
                // An OACK is acknowledged as block 0.
                if (const Bytes* sent = driver.LastSentOn(socket);
                    sent != nullptr && tftp::IsWholePacket(*sent)) {
                    datagram.resize(tftp::kHeaderSize);
                    tftp::WriteAck(datagram, tftp::OpcodeOf(*sent) == tftp::kOpOack
                                                 ? 0
                                                 : tftp::BlockOf(*sent));
                }
                break;
            case 2: {
                const std::uint8_t length = next();
                const std::size_t payload = length == 255 ? tftp::kBlockSize : length;
                const int block = driver.NextDataOn(socket);
                datagram.assign(tftp::kHeaderSize + payload, static_cast<std::uint8_t>(block));
                tftp::WriteDataHeader(datagram, tftp::kOpData, block, payload);
                driver.SentData(socket, block);
                break;
            }
            case 3:
            case 4: {
                const std::uint8_t name = next();
                const std::uint8_t mode = next();
                datagram = Request((control >> 5) == 3 ? tftp::kOpRrq : tftp::kOpWrq,
                                   kNames[name % kNames.size()], kModes[mode % kModes.size()],
                                   kOptionTails[mode / kModes.size() % kOptionTails.size()]);
                break;
            }
            case 5:
                datagram.resize(tftp::kPacketSize);
                datagram.resize(tftp::WriteError(datagram, next(), "client gives up"));
                break;
            default: {
                const std::size_t length = std::min<std::size_t>(next(), size - at);
                datagram.assign(data + at, data + at + length);
                at += length;
                break;
            }
        }
        driver.Spoke(peer);
        agent.OnDatagram(socket, peer, datagram, now);
        driver.Take(agent, settings.latencyMs == 0 && tftp::OpcodeOf(datagram) == tftp::kOpError);
    }

    // Files are kept only under names the agent takes, never larger than it allows.
    for (const auto& [name, content] : storage.files) {
        Check(agentsim::SafeFileName(name));
        if ((name != "image.bin" || content.size() != kImageSize) && name != "eeprom.bin") {
            Check(agentsim::WritableRole(name).has_value());
            Check(content.size() <= settings.largestFile);
        }
    }
    if (!agent.LastReceived().empty()) {
        Check(storage.files.count(agent.LastReceived()) == 1);
    }
    return driver.History();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The settings and faults are read (and their invariants checked) once; each run gets a
    // fresh agent with a copy of them.
    std::size_t at = 0;
    const agentsim::Settings settings = SettingsOf(data, size, at);
    Check(Run(settings, data, size, at) == Run(settings, data, size, at));
    return 0;
}

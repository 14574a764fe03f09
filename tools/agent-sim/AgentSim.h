// The simulated agent as a pure protocol machine: datagrams and the time go in, datagrams and
// socket requests come out. It reads no clock and touches no socket or file; a driver (the
// agent-sim program, or a test in simulated time) carries out its actions.
//
// Like a real agent it listens on one socket (port 69 in the program) and answers every
// transfer from a new socket of its own: it asks the driver to open one per transfer, sends
// from it, and asks for it to be closed when the transfer ends. A request without options gets a
// plain RFC 1350 transfer: 512-byte blocks, one packet in flight. A request that asks for
// blksize, windowsize or tsize (RFC 2347, 2348, 7440, 2349) is answered with an OACK of what the
// agent accepts, within its own limits; the transfer then moves blocks of the agreed size, up to
// a window of them between acknowledgements. Either way the last packet (or window) is sent
// again after a time-out, a few times, before the transfer is given up.
//
// A latency stands in for the round trip of a real link: every datagram goes out that much
// later than the agent decides to send it, and a socket is closed only after what it still has
// to send has gone. Nothing else waits for it: the agent's own time-outs run from the moment it
// sends, and other transfers go on meanwhile.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "agent-sim/AgentFaults.h"
#include "agent-sim/AgentFiles.h"
#include "tftp/TftpPacket.h"

namespace kalvoran::agentsim {

using Millis = std::int64_t;  // milliseconds on the driver's monotonic (or simulated) clock
using SocketId = int;

// The socket the driver opened on the agent's address and port before the first call.
inline constexpr SocketId kListenSocket = 0;

struct Peer {
    std::uint32_t address = 0;  // IPv4, host order (127.0.0.1 is 0x7F000001)
    std::uint16_t port = 0;
    friend bool operator==(const Peer&, const Peer&) = default;
};

std::string PeerText(const Peer& peer);

struct Action {
    enum class Kind {
        Open,   // open a UDP socket on the agent's address with a port of the driver's choice
        Send,   // send bytes from socket to peer
        Close,  // close the socket; datagrams still queued for it are dropped
    };
    Kind kind = Kind::Send;
    SocketId socket = kListenSocket;
    Peer to;
    Bytes bytes;
};

// What one transfer asked for, agreed and carried, as it ends.
struct TransferRecord {
    std::string name;
    bool reading = false;
    std::string options;      // the request's options as "name=value" words; "" without any
    bool negotiated = false;  // the request was answered with an OACK
    int blksize = static_cast<int>(tftp::kBlockSize);
    int windowsize = 1;
    std::int64_t tsize = -1;  // the tsize the OACK named; -1 without one
    int dataPackets = 0;      // DATA sent (read) or received (write), repeats included
    std::size_t bytes = 0;    // the file served, or received so far
    std::string end;          // why it ended
};

struct Settings {
    Millis retransmitMs = 1000;  // time-out before the last packet is sent again
    int retransmits = 5;         // resends of one packet before the transfer is given up
    int statusSteps = 2;         // intermediate texts of "status.bin" before the final phrase
    std::string statusFinal;     // when not empty, replaces every final phrase
    std::size_t largestFile = 64u << 20;  // a longer write is refused with ERROR 3
    int maxTransfers = 64;                // more at once are refused with ERROR 0
    Millis latencyMs = 0;  // every datagram sent (and the close after it) goes this much late
    int maxBlksize = tftp::kMaxBlksize;        // the largest blksize agreed to (8..65464)
    int maxWindowsize = tftp::kMaxWindowsize;  // the largest windowsize agreed to (1..64)
    std::vector<Fault> faults;
    // Receives one line per event when set (requests, OACKs, ends of transfers, faults committed).
    std::function<void(const std::string&)> log;
    // Receives the record of each transfer as it ends, when set.
    std::function<void(const TransferRecord&)> transferEnded;
};

class AgentSim {
public:
    AgentSim(Storage& fileStorage, Settings initialSettings);

    // A datagram arrived on one of the agent's sockets.
    void OnDatagram(SocketId socket, const Peer& from, std::span<const std::uint8_t> datagram,
                    Millis now);
    // The time has come to now: fire every time-out and delayed send that is due.
    void OnTime(Millis now);
    // The earliest time at which OnTime has something to do, or nullopt when nothing waits.
    std::optional<Millis> NextDeadline() const;

    // The actions produced so far, in the order the driver must carry them out.
    std::vector<Action> TakeActions();

    // The name of the last file received completely ("" before the first one).
    const std::string& LastReceived() const { return lastReceived; }
    std::size_t ActiveTransfers() const { return transfers.size(); }

private:
    enum class Phase { Running, Dallying, Stalled };

    // What a request's options ask for, as far as the agent knows them.
    struct Asked {
        std::int64_t blksize = 0;     // 0: not asked
        std::int64_t windowsize = 0;  // 0: not asked
        std::int64_t tsize = -1;      // -1: not asked
        bool Any() const { return blksize != 0 || windowsize != 0 || tsize >= 0; }
    };

    struct Transfer {
        std::uint64_t id = 0;
        SocketId socket = 0;
        Peer peer;
        std::string name;
        bool reading = false;     // RRQ: the agent sends DATA
        Bytes content;            // the file being served, or received so far
        std::string options;      // as the request carried them, for the record
        bool negotiated = false;  // opened with an OACK, which is packet 0
        std::size_t blksize = tftp::kBlockSize;
        int windowsize = 1;
        std::int64_t tsize = -1;
        // Block numbers, not wrapped. A read: the highest block sent and the last one the
        // client acknowledged. A write: the last block received in order and the last one the
        // agent acknowledged.
        int sequence = 0;
        int acked = 0;
        bool gapAnswered = false;    // a write has acknowledged the gap in the window under way
        int faultedThrough = -1;     // the faults have acted on the packets up to this number
        std::vector<int> discarded;  // per fault of the settings: DATA it made a write discard
        int dataPackets = 0;         // as in TransferRecord
        Bytes lastPacket;  // what a time-out sends again on a write, or on a read before ACK 0
        Phase phase = Phase::Running;
        Millis deadline = 0;
        int resends = 0;
        std::vector<SocketId> sideSockets;  // opened for wrong-port and stray faults
    };

    // An action held back until due: a packet the delay fault holds for its transfer (which
    // drops it if the transfer ends first), or a send or close on its way over the link's
    // latency (transferId 0: it goes whatever becomes of the transfer).
    struct Delayed {
        std::uint64_t transferId = 0;
        Millis due = 0;
        Action action;
    };

    using TransferList = std::list<Transfer>;

    void OnRequest(const Peer& from, std::span<const std::uint8_t> datagram, Millis now);
    void OnTransferDatagram(Transfer& transfer, const Peer& from,
                            std::span<const std::uint8_t> datagram, Millis now);
    void OnSideDatagram(SocketId socket, const Peer& from, std::span<const std::uint8_t> datagram);
    void OnAck(Transfer& transfer, int block, Millis now);
    void OnData(Transfer& transfer, std::span<const std::uint8_t> datagram, Millis now);

    std::optional<Bytes> ContentFor(std::string_view name);
    static Asked ReadAsked(std::span<const tftp::OptionPair> pairs);
    bool HasFault(FaultKind kind, std::string_view name) const;
    void StartTransfer(const Peer& from, std::string_view name, bool reading, Bytes content,
                       std::string options, const Asked* asked, Millis now);
    Bytes Agree(Transfer& transfer, const Asked& asked);
    void SendWindow(Transfer& transfer, int first, Millis now);
    void SendPacket(Transfer& transfer, Bytes packet, Millis now);
    void SendFirst(Transfer& transfer, const Bytes& packet, Millis now);
    void Acknowledge(Transfer& transfer, Millis now);
    bool DiscardsData(Transfer& transfer, Millis now);
    void Resend(Transfer& transfer, Millis now);
    void FinishWrite(Transfer& transfer, Millis now);
    void End(TransferList::iterator transfer, std::string_view why);
    void EndBySocket(SocketId socket, std::string_view why);
    void RefuseRequest(const Peer& to, int code, std::string_view text);
    void SendError(SocketId socket, const Peer& to, int code, std::string_view text);

    SocketId OpenSocket();
    void Emit(Action::Kind kind, SocketId socket, const Peer& to = {}, Bytes bytes = {});
    void Hold(std::uint64_t transferId, Millis due, Action action);
    // A log line, built only when there is a log to receive it.
    template <typename MakeLine>
    void Log(MakeLine&& makeLine) const {
        if (settings.log) {
            settings.log(std::string(makeLine()));
        }
    }
    TransferList::iterator FindBySocket(SocketId socket);

    Storage& storage;
    Settings settings;
    TransferList transfers;
    std::deque<Delayed> delayed;  // in the order they fall due
    Millis eventTime = 0;         // the time of the datagram or time-out being handled
    std::vector<Action> actions;
    SocketId nextSocket = kListenSocket + 1;
    std::uint64_t nextTransferId = 1;
    std::string lastReceived;
    FileRole lastRole = FileRole::None;
    int statusReads = 0;  // reads of "status.bin" since the last file was received
    Bytes generatedConfig;
};

}  // namespace kalvoran::agentsim

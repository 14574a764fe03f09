// The TFTP state of the transfer in progress (send, fetch or status read): the two packet
// buffers, the last exchange's text, the current and the acknowledged block number, the pinned
// transfer port, the agent endpoint, and the four timed exchanges that each perform one send or
// one receive on the program's UDP socket. A session moves the block number on through SetBlock;
// everything else it learns from the exchanges' results.
//
// A timed exchange polls the non-blocking socket until the call succeeds or its time-out in
// whole seconds has passed: it gives up on the fourth poll made after timeoutSeconds have gone
// by since the call (so a limit of n seconds ends after n - 1 to n seconds). Only with a
// time-out above 2 seconds does it pump the window's messages and look at the cancel flag after
// each poll; a shorter exchange only lets the window repaint (KeepWindowAlive), so the
// operator's input still runs only where the sessions pump. A receive poll waits in the receive
// call itself for at most kPollSliceMilliseconds and a send poll that found no room waits as long
// for the socket to take it, so a waiting exchange costs next to no processor time and still
// takes a datagram the moment it arrives, with one system call. A datagram taken on the last
// poll is examined like any other (an ERROR there is the ERROR it is, not a time-out). The
// exchanges return the last socket call's result: a positive byte count, -1 at a time-out (an
// empty poll), or -2 when the cancel flag ended the wait ("Cancelled.").
//
// Who may answer (for the session writers):
//  - The receive exchanges (WaitForAck, ReceiveDataBlock, and thus the End step's late wait)
//    take datagrams only from the agent, i.e. from the address in serverAddress. Any port of the
//    agent is accepted until the transfer port is pinned.
//  - The first datagram taken after a request has been built pins its source port as the
//    transfer port (TransferPort()); from then on only datagrams from that port are taken.
//    BuildRequest forgets the pinned port, so every session (and every status attempt) starts
//    afresh; a request sent again after a miss keeps whatever was pinned.
//  - Late datagrams of an earlier transfer must not be taken for the answer to a new request
//    (an agent resends an unacknowledged last block, such as a final status, for a while): the
//    first send after BuildRequest discards whatever is already queued on the socket, and
//    until a port is pinned only a datagram that can open the transfer is taken: ACK 0 after a
//    write request, DATA 1 after a read request, or an ERROR.
//  - peerAddress therefore always holds the agent's transfer port once anything was taken, and
//    SendAck answers there. The send session adopts it by setting serverAddress.port to
//    peerAddress.port after each acknowledgement.
//  - A request that asks for options (RFC 2347) may also be answered by an OACK, which the
//    session judges (Negotiation.h); a plain request's OACK is dropped like any stranger.
//  - Datagrams from anyone else, datagrams shorter than the 4-byte header, and datagrams other
//    than ERROR longer than a whole packet (516 bytes, or the agreed block size and its header)
//    (cut, one would pass for a full block) are dropped unanswered (an answer to a stranger would
//    only invite spoofed traffic), counted in DroppedDatagrams(), and the wait goes on as after an
//    empty poll. A dropped datagram changes neither the packet buffers nor peerAddress.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "net/Addressing.h"
#include "net/DatagramSocket.h"
#include "tftp/AgentText.h"
#include "tftp/Clock.h"
#include "tftp/TftpPacket.h"
#include "tftp/WaitHooks.h"

namespace kalvoran {

// Status-log line of a session that refuses an agent-side name longer than remoteName holds;
// the session then ends with result code 2.
inline constexpr char kRemoteNameTooLongText[] =
    "Agent file name too long (at most 19 characters): %s";
inline constexpr char kCancelledText[] = "Cancelled.";

class TftpChannel {
public:
    static constexpr std::size_t kRemoteNameSize = 20;  // at most 19 characters
    // Room for the ERROR description with a whole packet's agent text escaped (every byte a
    // control character shown as \xNN) after the template's own words.
    static constexpr std::size_t kExchangeTextSize = EscapedAgentTextLimit(tftp::kBlockSize) + 128;
    // The longest single sleep on the socket between two polls.
    static constexpr int kPollSliceMilliseconds = 10;
    // Exchange results besides a byte count.
    static constexpr int kTimedOut = -1;
    static constexpr int kCancelled = -2;

    TftpChannel(net::DatagramSocket& socket, Clock& clock, WaitHooks& hooks);
    TftpChannel(const TftpChannel&) = delete;
    TftpChannel& operator=(const TftpChannel&) = delete;

    // Copies an agent-side name into remoteName. False, remoteName unchanged, for a name of
    // more than 19 characters or one holding a zero byte.
    bool SetRemoteName(std::string_view name);

    // A read (1) or write (2) request for name in the mode of modeIndex, into dataBuffer, with
    // the options asked (and tsize with tsizeValue) when any. Returns the request's length, or 0
    // (nothing built) for a name of more than 19 characters or an unknown modeIndex. Forgets the
    // pinned transfer port and any earlier agreement: the blocks are 512 bytes, one in flight,
    // until Agree.
    int BuildRequest(int opcode, std::string_view name, const tftp::AskedOptions& asked = {},
                     std::int64_t tsizeValue = 0);
    // What the request built last asked for.
    const tftp::AskedOptions& Asked() const { return asked; }
    // The options in force from now on (an OACK the session accepted).
    void Agree(const tftp::Agreement& agreement) { agreed = agreement; }
    const tftp::Agreement& Agreed() const { return agreed; }
    int AgreedBlockSize() const { return agreed.blksize; }

    // The 4-byte DATA header for blockNumber (low 16 bits) in front of the payload the caller
    // has placed in dataBuffer from its fifth byte on. Returns payloadLength + 4, or 0 for a
    // payload length outside 0..the agreed block size.
    int BuildDataPacket(int opcode, int blockNumber, int payloadLength);

    // Sends the first length bytes of dataBuffer to serverAddress. Time-out text
    // "Time out on PUT. block: %d" with block. A length outside 1..516 (or the agreed block and its
    // header) sends nothing and returns -1 with that text.
    int SendPacket(int length, int timeoutSeconds);

    // DATA blocks firstBlock, firstBlock + 1, ... carrying payloads (each at most the agreed
    // block size), handed to the socket together as far as it takes them; a packet it does not
    // take goes as SendPacket sends it (its wait, its time-out text naming that block). Returns
    // the count sent, or the result of the exchange that failed; block names the last one tried.
    int SendDataBlocks(int firstBlock, std::span<const std::span<const std::uint8_t>> payloads,
                       int timeoutSeconds);

    // An ERROR with code and text to the sender of the last datagram taken (an option answer
    // that is refused). Returns the byte count sent, or -1; the exchange text is unchanged.
    int SendError(int code, std::string_view text);

    // Receives one datagram from the agent into ackBuffer, its sender into peerAddress.
    // Time-out text "Time out on ACK. block: %d" with block - 1. An ERROR is described as
    // "ERROR: error code: %d msg: %s \r\nerror msg: %s" (the agent's own text last); any
    // other packet sets ackedBlock to its block number and is described as "%d %s: block %d"
    // with block, the opcode's name and ackedBlock.
    int WaitForAck(int timeoutSeconds);

    // Receives one datagram from the agent into dataBuffer, its sender into peerAddress.
    // Time-out text "Time out on GET. block: %d" with block. An ERROR is described as
    // "ACK: error code: %d msg: %s"; any other packet is left to the caller.
    int ReceiveDataBlock(int timeoutSeconds);

    // Writes an ACK for block into ackBuffer and sends its 4 bytes to peerAddress. Time-out
    // text "Time out on sending ACK.". Returns 4 on success.
    int SendAck(int timeoutSeconds);

    // The block number the exchanges name: the block sent, awaited, or acknowledged by SendAck.
    void SetBlock(int number) { block = number; }
    int Block() const { return block; }
    // The block number of the last acknowledgement WaitForAck took.
    int AckedBlock() const { return ackedBlock; }

    // Leave the time-out text of an acknowledgement or a DATA block in exchangeText, for a
    // session that gives up waiting on its own terms (a block that never advances).
    void DescribeAckTimeout() { WriteTimeoutText(Exchange::ReceiveAck); }
    void DescribeReceiveTimeout() { WriteTimeoutText(Exchange::ReceiveData); }

    // Requests go to the agent's TFTP port 69: every session starts there.
    void UseRequestPort() { serverAddress.port = tftp::kTftpPort; }
    // From now on DATA and requests sent again go to the port the agent answered from.
    void AdoptTransferPort() { serverAddress.port = peerAddress.port; }

    // The data bytes of dataBuffer behind its 4-byte header: a block of the agreed size.
    std::span<std::uint8_t> DataPayload() {
        return std::span(dataBuffer)
            .subspan(tftp::kHeaderSize, static_cast<std::size_t>(agreed.blksize));
    }
    void ClearDataPayload() { std::ranges::fill(DataPayload(), std::uint8_t{0}); }
    void ClearAckBuffer() { std::ranges::fill(ackBuffer, std::uint8_t{0}); }
    // What the last receive left in a buffer: an ERROR (by its opcode byte), or the opcode and
    // block number of the packet.
    static bool HoldsError(std::span<const std::uint8_t> buffer) {
        return buffer[1] == tftp::kOpError;
    }
    int ReceivedOpcode() const { return tftp::OpcodeOf(dataBuffer); }
    int ReceivedBlock() const { return tftp::BlockOf(dataBuffer); }

    // The agent's transfer port taken since the last request, 0 while none is pinned.
    std::uint16_t TransferPort() const { return transferPort; }
    void ForgetTransferPort() { transferPort = 0; }
    // Datagrams dropped since the channel was made (stranger, shorter than 4 bytes, oversize).
    int DroppedDatagrams() const { return droppedDatagrams; }
    // Result of the last socket call of the last exchange.
    int LastResult() const { return lastResult; }

    // Opcode names and error texts come from TftpPacket: an opcode other than 1 to 5 is named
    // "UNKNOWN" and an error code above 7 reads "Unknown error code".

    // Where requests and DATA go: the agent's address, at port 69 until a session adopts the
    // transfer port.
    void AimAt(const net::SocketAddress& agent) { serverAddress = agent; }
    const net::SocketAddress& Destination() const { return serverAddress; }
    // The sender of the last datagram taken, where acknowledgements go.
    const net::SocketAddress& Peer() const { return peerAddress; }

    // What the exchanges left: the packets as sent or received, the last exchange's text, the
    // agent-side name of the transfer.
    std::span<const std::uint8_t> DataBuffer() const { return dataBuffer; }
    std::span<const std::uint8_t> AckBuffer() const { return ackBuffer; }
    const char* ExchangeText() const { return exchangeText.data(); }
    const char* RemoteName() const { return remoteName.data(); }

private:
    enum class Exchange { SendData, ReceiveAck, ReceiveData, SendAck };

    int Run(Exchange exchange, int timeoutSeconds);
    long PollOnce(Exchange exchange);
    long TakeDatagram(std::span<std::uint8_t> target, int waitMilliseconds);
    bool FromAgent(const net::SocketAddress& sender) const;
    bool OpensTransfer(std::span<const std::uint8_t> datagram) const;
    void DiscardQueued();
    void WaitBeforeNextPoll(Exchange exchange, long lastCall);
    void WriteTimeoutText(Exchange exchange);
    void DescribeAck(std::size_t length);
    void DescribeData(std::size_t length);

    Clock& clock;
    WaitHooks& hooks;
    int block = 0;
    int ackedBlock = 0;
    // One byte more than the largest packet, so that a longer datagram shows by its length.
    std::vector<std::uint8_t> receiveScratch = std::vector<std::uint8_t>(tftp::kLargestPacket + 1);
    std::size_t sendLength = 0;
    std::uint16_t transferPort = 0;
    int pendingRequest = 0;          // opcode of the request built last
    bool discardBeforeSend = false;  // the request's first send clears the socket first
    int droppedDatagrams = 0;
    int lastResult = -1;

    tftp::AskedOptions asked;
    tftp::Agreement agreed;

    // Room for a packet of the largest block size the options allow.
    std::vector<std::uint8_t> dataBuffer = std::vector<std::uint8_t>(tftp::kLargestPacket);
    std::vector<std::uint8_t> ackBuffer = std::vector<std::uint8_t>(tftp::kLargestPacket);
    std::array<char, kExchangeTextSize> exchangeText{};
    std::array<char, kRemoteNameSize> remoteName{};
    static constexpr int kModeIndex = 1;  // "octet"
    net::DatagramSocket& udpSocket;
    net::SocketAddress serverAddress{};
    net::SocketAddress peerAddress{};
};

}  // namespace kalvoran

// Sends one local file to the agent: waits until the agent answers a ping, checks the file
// against the rules of its transfer type, sends the write request for the type's agent-side name
// and then the file in DATA packets of one block each (the last one shorter, empty for a length
// that is a multiple of the block). By default a block is 512 bytes and one packet is in flight,
// each acknowledged before the next; a transfer that asks for options and an agent that agrees
// to them use the agreed block size and send a window of blocks before awaiting the
// acknowledgement of its last (an acknowledgement inside the window resumes after the block it
// names).
//
// An older acknowledgement is either the echo of a duplicated packet, which comes within a few
// round trips of the window's sending and is ignored, or the agent's own acknowledgement again
// after its time-out, which comes later and makes the window go again at once; neither is a
// miss. Six windows without an acknowledgement in one session end it, and so does a window that
// is not acknowledged within the time six misses would take (12 s, 18 s for the last), however
// often the agent answers with an older acknowledgement. An acknowledgement of a block not yet
// sent is ignored. The File Length, CRC32 and Bytes Sent/Recvd boxes and the progress bar follow
// the transfer.
//
// Result codes: 0 the last packet was acknowledged; 1 the agent answered no ping; 2 refused or
// abandoned locally (type, name, options, a file that cannot be opened or read, is empty or too
// large for the block size in force, cancel); 3 network or protocol failure (the socket refused a
// packet, an ERROR from the agent, missing acknowledgements).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

#include "tftp/Negotiation.h"
#include "tftp/Outcome.h"
#include "tftp/SessionContext.h"
#include "tftp/Transfer.h"
#include "tftp/TransferTypes.h"

namespace kalvoran {

// What the local checks of a send found: the file's type, names and length, and, when the file is
// refused, why and how the operator is told. The same checks serve a session and a program that
// checks a file once before it sends it to many agents.
struct SendCheck {
    enum class Shown { Box, Line, FailureLine };

    const TransferTypeInfo* type = nullptr;
    std::string localName;
    std::string remoteName;
    std::int32_t fileLength = -1;  // -1: the file was not opened
    std::string lengthReason;      // why its length could not be had (a box), when so
    std::string refusal;           // empty: the file may be sent
    Shown shown = Shown::Box;
};

// Checks the transfer's type and options, the local path and name, the agent-side name, and
// opens the file into file to check its length against the type's limits. The file stays open
// when the check passes.
SendCheck CheckSend(const Transfer& transfer, CLocalFile& file);

// Why a file of length bytes cannot go in blocks of blockSize bytes (block numbers travel as 16
// bits and do not roll over), or "" when it can.
std::string TooManyBlocks(std::int64_t length, std::int32_t blockSize, const std::string& path);

class SendSession {
public:
    // Block numbers travel as 16 bits: a file of this many full blocks or more cannot be sent.
    static constexpr std::int32_t kMostFullBlocks = 65535;

    explicit SendSession(SessionContext& sessionContext) : context(sessionContext) {}
    SendSession(const SendSession&) = delete;
    SendSession& operator=(const SendSession&) = delete;

    // The agent wait, the transfer and the session's End step. The socket must be open and
    // aimed at the agent (the driver's OpenAgentSocket).
    Outcome Run(const Transfer& transfer);

private:
    enum class Phase { Send, Wait, NextBlock, End };

    bool Prepare(const Transfer& transfer);
    // The write request into the channel, with the options the negotiation still asks for (none
    // once they were refused) and the file's length as tsize.
    void BuildRequest();
    Phase Send();
    Phase Wait();
    // What the agent's first answer to a request with options (a judged one) means for the
    // transfer.
    Phase Negotiated(OptionNegotiation::Answer answer);
    // The block size and window in force from now on.
    void UseBlocks(std::int32_t size, int count);
    // The agent's answer to the request put size and count in force; false (the session ended,
    // the agent told) when the file needs more blocks of that size than block numbers count.
    bool AnsweredWith(std::int32_t size, int count);
    Phase NextBlock();
    Phase EndWith(int code, std::string reason);
    // Reads block number into its place in the window: count bytes of the file; false when
    // the file yields fewer (a read error, or a file that shrank while it was sent).
    bool ReadBlock(int number, std::int32_t count);
    std::span<std::uint8_t> Slot(int number);
    // The session's end when the file is not the one the run checked.
    Phase EndChanged();
    // How long an older acknowledgement may trail the window's sending and still be the echo of
    // a duplicate (a few round trips, at least kEchoFloorMilliseconds).
    std::int64_t EchoWindowMilliseconds() const;

    SessionContext& context;
    Outcome outcome;
    OptionNegotiation negotiation;
    std::string localPath;
    std::int32_t blockSize = 0;
    int window = 1;
    int lastBlock = 0;  // the number of the block that ends the file (shorter than a block)
    std::int32_t remainder = 0;
    int requestLength = 0;
    int acknowledged = -1;  // the last block acknowledged; 0 the request, -1 before
    int built = 0;          // the last block read into the window
    int sentUpTo = 0;       // the last block ever sent
    int missedAcks = 0;
    std::time_t windowStart = 0;  // when the window in flight was first sent
    // When the window went last, whether any of it went before (no round-trip sample then),
    // and the smoothed round trip of this transfer.
    std::int64_t sentAt = 0;
    bool sentAgain = false;
    std::int64_t roundTrip = 0;
    // The window's blocks, each in its slot (number % window), until acknowledged.
    std::vector<std::uint8_t> windowBlocks;
    std::array<std::int32_t, tftp::kMaxWindowsize> slotLengths{};
    // The file is read ahead in large pieces, so that sending a block costs no file read.
    static constexpr std::size_t kReadAheadSize = std::size_t{64} * 1024;
    std::array<std::uint8_t, kReadAheadSize> readAhead{};
    std::size_t aheadStart = 0;
    std::size_t aheadEnd = 0;
    std::int64_t unreadBytes = 0;
    // The identity the file must keep (Transfer::expected), and the hash of what was read.
    std::optional<FileIdentity> expected;
    Sha256 readHash;
};

}  // namespace kalvoran

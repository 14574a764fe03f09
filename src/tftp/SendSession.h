// Sends one local file to the agent: waits until the agent answers a ping, checks the file
// against the rules of its transfer type, sends the write request for the type's agent-side name
// and then the file in DATA packets of one block each (the last one shorter, empty for a length
// that is a multiple of the block), one packet in flight, each acknowledged before the next. An
// older acknowledgement makes it send the current packet again at once; six missed
// acknowledgements in one session end it, and so does a block that is not acknowledged within the
// time six misses would take (12 s, 18 s for the last), however often the agent answers with an
// older acknowledgement. An acknowledgement of a block not yet sent is ignored. The File Length,
// CRC32 and Bytes Sent/Recvd boxes and the progress bar follow the transfer.
//
// Result codes: 0 the last packet was acknowledged; 1 the agent answered no ping; 2 refused or
// abandoned locally (type, name, a file that cannot be opened or read, is empty or too large,
// cancel); 3 network or protocol failure (the socket refused a packet, an ERROR from the agent,
// missing acknowledgements).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

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
    Phase Send();
    Phase Wait();
    Phase NextBlock();
    Phase EndWith(int code, std::string reason);
    // Fills the payload of the next DATA packet with count bytes of the file; false when the
    // file yields fewer (a read error, or a file that shrank while it was sent).
    bool ReadBlock(std::int32_t count);
    // The session's end when the file is not the one the run checked.
    Phase EndChanged();

    SessionContext& context;
    Outcome outcome;
    std::string localPath;
    std::int32_t blockSize = 0;
    std::int32_t blockCount = 0;  // full blocks of the file
    std::int32_t remainder = 0;
    int packetLength = 0;
    int missedAcks = 0;
    std::time_t blockStart = 0;      // when the block in flight was first sent
    bool resentForOlderAck = false;  // the block in flight went again for an older ACK
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

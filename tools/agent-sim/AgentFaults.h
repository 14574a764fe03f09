// Faults the simulated agent can be told to commit, so that clients are tested against the
// misbehaviour of real agents and networks.
//
// Most faults name a block: the packet that carries that block number from the agent, which is
// DATA block N on a read and the ACK of block N on a write. Packet 0 answers the request: the
// ACK 0 of a plain write, or the OACK of a request whose options were accepted. Faults act on the
// first transmission of that packet only, so that the agent's own retransmission can still
// finish the transfer. The option faults name no block: they act on every request that carries
// options, so a client that falls back to a plain request is served normally. An optional file
// name limits a fault to the transfers of that name.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kalvoran::agentsim {

enum class FaultKind {
    Error,      // answer the request with ERROR code/text instead of a transfer
    Drop,       // packet N is not sent (the retransmission after a time-out is)
    Delay,      // packet N goes out delayMs late
    Duplicate,  // packet N is sent twice
    Stall,      // after packet N the transfer stops answering
    WrongPort,  // packet N is sent from another port than the transfer port
    Short,      // a 3-byte datagram goes out just before packet N
    Oversize,   // a datagram of kOversizeLength bytes goes out just before packet N
    Stray,      // a well-formed packet N with other content comes from a second port first
    // A read does not send the first transmission of DATA N (the rest of its window goes); a
    // write discards the received DATA N once, as if the network had lost it.
    DropInWindow,
    // A write ignores the received DATA N count times; after each, the agent's time-out sends
    // its last ACK (of block N-1) again.
    Lose,
    IgnoreOptions,      // a request's options are ignored: it is served as a plain request
    OptionsError,       // a request with options is answered with ERROR 8
    OackLargerBlksize,  // the OACK names a blksize one larger than the one asked
    OackUnrequested,    // the OACK adds an option that was not asked (timeout 5)
    OackMalformed,      // the OACK's last value lacks its terminating zero byte
};

inline constexpr std::size_t kOversizeLength = 600;
inline constexpr std::uint8_t kFillerByte = 0xEE;
inline constexpr std::string_view kOptionsRefusedText = "Option negotiation failed";

struct Fault {
    FaultKind kind = FaultKind::Drop;
    int block = 0;
    std::int64_t delayMs = 0;  // Delay
    int count = 0;             // Lose: how many times DATA N is ignored
    int errorCode = 0;         // Error
    std::string errorText;     // Error; empty: the standard text of errorCode
    std::string name;          // empty: every file (always set for Error)

    bool AppliesTo(std::string_view fileName) const { return name.empty() || name == fileName; }
};

// The command-line form of a fault:
//   drop:N[@NAME] delay:N:MS[@NAME] duplicate:N[@NAME] stall:N[@NAME] wrong-port:N[@NAME]
//   short:N[@NAME] oversize:N[@NAME] stray:N[@NAME] drop-in-window:N[@NAME] lose:N:K[@NAME]
//   ignore-options[@NAME] options-error[@NAME] oack-larger-blksize[@NAME]
//   oack-unrequested[@NAME] oack-malformed[@NAME] error:NAME:CODE[:TEXT]
// Block numbers run from 0 to 65535 (from 1 for drop-in-window and lose, which name DATA),
// delays from 0 to 600000 ms, counts K from 1 to 65535, error codes from 0 to 65535; the text of
// an error fault is the rest of the argument and may hold colons.
std::optional<Fault> ParseFault(std::string_view text);

// The keyword of a kind as used by ParseFault ("drop", "wrong-port", ...).
const char* FaultKeyword(FaultKind kind);

// How many numbers follow a kind's keyword in its command-line form: 0 for the option faults,
// 2 for delay and lose, 1 for the other block faults (error has its own form).
int FaultNumbers(FaultKind kind);

}  // namespace kalvoran::agentsim

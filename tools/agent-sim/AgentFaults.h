// Faults the simulated agent can be told to commit, so that clients are tested against the
// misbehaviour of real agents and networks.
//
// A fault names a block: the packet that carries that block number from the agent, which is
// DATA block N on a read and the ACK of block N on a write (the ACK of the write request is
// block 0). Faults act on the first transmission of that packet only, so that the agent's own
// retransmission can still finish the transfer. An optional file name limits a fault to the
// transfers of that name.
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
};

inline constexpr std::size_t kOversizeLength = 600;
inline constexpr std::uint8_t kFillerByte = 0xEE;

struct Fault {
    FaultKind kind = FaultKind::Drop;
    int block = 0;
    std::int64_t delayMs = 0;  // Delay
    int errorCode = 0;         // Error
    std::string errorText;     // Error; empty: the standard text of errorCode
    std::string name;          // empty: every file (always set for Error)

    bool AppliesTo(std::string_view fileName) const { return name.empty() || name == fileName; }
};

// The command-line form of a fault:
//   drop:N[@NAME] delay:N:MS[@NAME] duplicate:N[@NAME] stall:N[@NAME] wrong-port:N[@NAME]
//   short:N[@NAME] oversize:N[@NAME] stray:N[@NAME] error:NAME:CODE[:TEXT]
// Block numbers run from 0 to 65535, delays from 0 to 600000 ms, error codes from 0 to 65535;
// the text of an error fault is the rest of the argument and may hold colons.
std::optional<Fault> ParseFault(std::string_view text);

// The keyword of a kind as used by ParseFault ("drop", "wrong-port", ...).
const char* FaultKeyword(FaultKind kind);

}  // namespace kalvoran::agentsim

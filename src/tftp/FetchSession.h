// Fetches one file from the agent into the transfer's local file: the EEPROM image
// ("eeprom.bin", at most 32768 bytes) or the configuration the agent generated ("config.cfg",
// whose first block gives its length after "Len:" in hexadecimal). It waits until the agent
// answers a ping, sends the read request, and acknowledges each DATA block to the agent's
// transfer port before awaiting the next.
//
// A fetch either delivers the whole file or changes nothing: the data go to a new file beside
// the target, which takes the target's place only once the last block has been acknowledged. A
// fetch that stops early (no DATA within 20 s, a skipped block, more data than the file may
// hold, a write that fails, an ERROR, a cancel) is a failure and the earlier file stays as it
// was. A block the agent sends again because our acknowledgement was lost is acknowledged again
// and not written twice, but no new block within the fetch's 20-second wait ends it as a
// time-out, however often the agent repeats an old one. A generated configuration may announce
// at most 1 MiB.
#pragma once

#include <cstdint>
#include <ctime>
#include <span>
#include <string>

#include "tftp/Outcome.h"
#include "tftp/ReceiveLoop.h"
#include "tftp/SessionContext.h"
#include "tftp/Transfer.h"

namespace kalvoran {

class FetchSession final : private BlockSink {
public:
    explicit FetchSession(SessionContext& sessionContext) : context(sessionContext) {}
    FetchSession(const FetchSession&) = delete;
    FetchSession& operator=(const FetchSession&) = delete;

    // The agent wait, the transfer and the session's End step. The socket must be open and
    // aimed at the agent (the driver's OpenAgentSocket).
    Outcome Run(const Transfer& transfer);

    // The length a generated configuration announces in its first block: "Len:" followed by a
    // hexadecimal number (read as strtol does in base 16), in the data up to its first zero byte.
    // -1 when the block has no "Len:".
    static long AnnouncedLength(std::span<const std::uint8_t> data);

private:
    bool Prepare(const Transfer& transfer);
    bool SendRequest();
    Verdict Take(int received, bool& lastBlock) override;
    int BuildRequest() override;
    bool Agreed() override;
    Verdict Stop(int code, std::string reason);
    Verdict StopReporting(int code, const std::string& line);
    // A local file that takes no more (code 2): the system's reason, when there is one, in a box
    // of its own before line; the outcome's reason holds both.
    Verdict StopWithSystemReason(const std::string& line, const std::string& why);

    SessionContext& context;
    Outcome outcome;
    OptionNegotiation negotiation;
    int transferType = -1;
    std::string localPath;
    std::int32_t sizeLimit = 0;
    int requestLength = 0;
    int acceptedBlock = 0;              // the last block written, 0 before the first
    std::time_t acceptedAt = 0;         // when it came (or the request was sent)
    std::time_t reacknowledgedAt = -1;  // when a repeat of it was last acknowledged
};

}  // namespace kalvoran

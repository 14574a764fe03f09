// The options of one transfer (RFC 2347): what its request asks for, and how the first answer
// decides the rest. An agent may agree (an OACK, judged strictly), ignore the options (the
// plain protocol from then on), or refuse them (ERROR 8); a refusal, and an OACK this side
// refuses (answered with ERROR 8), make the session ask once more without options. Each of
// these is one status-log line, and only a transfer that asked for options writes any.
#pragma once

#include <span>

#include "tftp/StatusDisplay.h"
#include "tftp/TftpChannel.h"
#include "tftp/TftpPacket.h"

namespace kalvoran {

inline constexpr char kOptionsAgreedText[] = "Options agreed:%s";
inline constexpr char kOptionsIgnoredText[] =
    "The agent ignored the options: blocks of 512 bytes, one at a time";
inline constexpr char kOptionsRefusedText[] =
    "The agent refused the options (%s): asking again without options";
inline constexpr char kOptionAnswerRefusedText[] =
    "Option answer refused (%s): asking again without options";

class OptionNegotiation {
public:
    enum class Answer {
        NotJudged,  // nothing to judge: the session reads the datagram as it always has
        Agreed,     // an OACK accepted: the channel holds the agreement
        Plain,      // the agent ignored the options: the datagram is the plain answer
        AskPlain,   // the options were refused (or the OACK was): ask again without them
    };

    // A new transfer that asks for asked (all zero: the plain protocol, nothing to judge).
    void Start(const tftp::AskedOptions& options) {
        wanted = options;
        pending = options.Any();
        retried = false;
    }
    // The options the next request carries: none after a retry.
    tftp::AskedOptions ForRequest() const { return retried ? tftp::AskedOptions{} : wanted; }
    // Whether the answer to the request sent last is still to be judged.
    bool Pending() const { return pending; }

    // Judges the first datagram taken after the request (packet, as the channel holds it).
    Answer Judge(TftpChannel& channel, StatusDisplay& display,
                 std::span<const std::uint8_t> packet);

private:
    tftp::AskedOptions wanted;
    bool pending = false;
    bool retried = false;
};

}  // namespace kalvoran

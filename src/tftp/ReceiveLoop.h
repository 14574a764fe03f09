// The receiving side of a read request, shared by the fetch and the status read: take a DATA
// block from the agent, hand it to the session's sink (a replacement file, or memory), send the
// acknowledgement, and go on until the block that ends the file has been acknowledged.
//
// A request that asked for options has its first answer judged here: an OACK accepted is
// acknowledged with ACK 0 (again, when the agent repeats it), a refusal asks once more without
// options (the request as the sink builds it). With a window of several blocks agreed, a block in
// sequence is acknowledged when the window is full or the file ends, and a block beyond the next
// one (a gap) makes the loop acknowledge the last block in sequence, once, so that the agent goes
// on from there.
#pragma once

#include "tftp/Negotiation.h"
#include "tftp/Outcome.h"
#include "tftp/SessionContext.h"

namespace kalvoran {

class BlockSink {
public:
    enum class Verdict {
        Accepted,     // the next block in sequence, taken
        Acknowledge,  // acknowledge now (a block the agent sent again)
        Ignore,       // wait for the next datagram without acknowledging this one
        Gap,          // a block beyond the next one: the last block in sequence is acknowledged
        Stop,         // the loop ends without an acknowledgement (the sink has said why)
    };

    virtual ~BlockSink() = default;
    // received is the receive exchange's result (a byte count, TftpChannel::kTimedOut or
    // kCancelled); the datagram is in the channel's dataBuffer. The sink sets the channel's
    // block to the number to acknowledge, and lastBlock when the block ends the file.
    virtual Verdict Take(int received, bool& lastBlock) = 0;
    // Builds the session's request into the channel, with the options the negotiation still
    // asks for (none once they were refused), and returns its length: the one way a session
    // builds its request, the first time and when the loop asks again without options.
    virtual int BuildRequest() = 0;
    // The agent agreed to options (the channel holds the agreement). False stops the loop: the
    // sink refuses what the agent announced, has told it with an ERROR and said why.
    virtual bool Agreed() { return true; }
};

struct ReceiveTimeouts {
    int dataSeconds;
    int ackSeconds;
    int requestSeconds;  // a request asked again without options
};

// Sends the request built last; false, the failure reported and the outcome failed (code 2 when
// cancelled, else 3), when the socket does not take it.
bool SendBuiltRequest(SessionContext& context, Outcome& outcome, int length, int timeoutSeconds);

// True once the last block has been acknowledged. An acknowledgement the socket does not take
// shows the box "Failed to send ACK" and fails the outcome with code 3.
bool ReceiveBlocks(SessionContext& context, Outcome& outcome, BlockSink& sink,
                   const ReceiveTimeouts& timeouts, OptionNegotiation& negotiation);

}  // namespace kalvoran

// The receiving side of a read request, shared by the fetch and the status read: take a DATA
// block from the agent, hand it to the session's sink (a replacement file, or memory), send the
// acknowledgement, and go on until the block that ends the file has been acknowledged.
#pragma once

#include "tftp/Outcome.h"
#include "tftp/SessionContext.h"

namespace kalvoran {

class BlockSink {
public:
    enum class Verdict { Acknowledge, Ignore, Stop };

    virtual ~BlockSink() = default;
    // received is the receive exchange's result (a byte count, TftpChannel::kTimedOut or
    // kCancelled); the datagram is in the channel's dataBuffer. The sink sets the channel's
    // block to the number to acknowledge, and lastBlock when the block ends the file; Ignore
    // waits for the next datagram without acknowledging this one; Stop ends the loop without an
    // acknowledgement (the sink has said why in the outcome).
    virtual Verdict Take(int received, bool& lastBlock) = 0;
};

struct ReceiveTimeouts {
    int dataSeconds;
    int ackSeconds;
};

// True once the last block has been acknowledged. An acknowledgement the socket does not take
// shows the box "Failed to send ACK" and fails the outcome with code 3.
bool ReceiveBlocks(SessionContext& context, Outcome& outcome, BlockSink& sink,
                   const ReceiveTimeouts& timeouts);

}  // namespace kalvoran

#include "tftp/ReceiveLoop.h"

#include "tftp/SessionTexts.h"

namespace kalvoran {

bool ReceiveBlocks(SessionContext& context, Outcome& outcome, BlockSink& sink,
                   const ReceiveTimeouts& timeouts) {
    TftpChannel& channel = context.channel;
    bool lastBlock = false;
    for (;;) {
        const int received = channel.ReceiveDataBlock(timeouts.dataSeconds);
        if (sink.Take(received, lastBlock) == BlockSink::Verdict::Stop) {
            return false;
        }
        if (channel.SendAck(timeouts.ackSeconds) != static_cast<int>(tftp::kHeaderSize)) {
            context.display.ShowErrorBox(kAckFailedText);
            outcome.Fail(kResultNetworkFailure, kAckFailedText);
            return false;
        }
        if (lastBlock) {
            return true;
        }
    }
}

}  // namespace kalvoran

#include "tftp/ReceiveLoop.h"

#include "tftp/SessionTexts.h"

namespace kalvoran {

bool ReceiveBlocks(SessionContext& context, Outcome& outcome, BlockSink& sink,
                   const ReceiveTimeouts& timeouts) {
    TftpChannel& channel = context.channel;
    bool lastBlock = false;
    for (;;) {
        const int received = channel.ReceiveDataBlock(timeouts.dataSeconds);
        const BlockSink::Verdict verdict = sink.Take(received, lastBlock);
        if (verdict == BlockSink::Verdict::Stop) {
            return false;
        }
        if (verdict == BlockSink::Verdict::Ignore) {
            continue;
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

#include "tftp/ReceiveLoop.h"

#include "tftp/SessionTexts.h"

namespace kalvoran {

namespace {

// Sends the acknowledgement of the channel's block; false, the outcome failed, when the socket
// does not take it.
bool Acknowledge(SessionContext& context, Outcome& outcome, const ReceiveTimeouts& timeouts) {
    if (context.channel.SendAck(timeouts.ackSeconds) == static_cast<int>(tftp::kHeaderSize)) {
        return true;
    }
    context.display.ShowErrorBox(kAckFailedText);
    outcome.Fail(kResultNetworkFailure, kAckFailedText);
    return false;
}

// The acknowledgement of the request (block 0) that an accepted OACK asks for.
bool AcknowledgeOptions(SessionContext& context, Outcome& outcome,
                        const ReceiveTimeouts& timeouts) {
    TftpChannel& channel = context.channel;
    const int expected = channel.Block();
    channel.SetBlock(0);
    const bool sent = Acknowledge(context, outcome, timeouts);
    channel.SetBlock(expected);
    return sent;
}

}  // namespace

bool SendBuiltRequest(SessionContext& context, Outcome& outcome, int length, int timeoutSeconds) {
    TftpChannel& channel = context.channel;
    const int sent = channel.SendPacket(length, timeoutSeconds);
    if (sent > 0) {
        return true;
    }
    context.display.ReportFailure(channel.ExchangeText());
    outcome.Fail(sent == TftpChannel::kCancelled ? kResultRefused : kResultNetworkFailure,
                 channel.ExchangeText());
    return false;
}

bool ReceiveBlocks(SessionContext& context, Outcome& outcome, BlockSink& sink,
                   const ReceiveTimeouts& timeouts, OptionNegotiation& negotiation) {
    TftpChannel& channel = context.channel;
    bool lastBlock = false;
    bool blockTaken = false;  // a DATA block came since the request
    int sinceAck = 0;         // blocks taken in sequence since the last acknowledgement
    bool gapAcknowledged = false;
    for (;;) {
        const int received = channel.ReceiveDataBlock(timeouts.dataSeconds);
        if (received > 0 && negotiation.Pending()) {
            switch (
                negotiation.Judge(channel, context.display,
                                  channel.DataBuffer().first(static_cast<std::size_t>(received)))) {
                case OptionNegotiation::Answer::Agreed:
                    if (!sink.Agreed() || !AcknowledgeOptions(context, outcome, timeouts)) {
                        return false;
                    }
                    continue;
                case OptionNegotiation::Answer::AskPlain: {
                    const int length = sink.BuildRequest();
                    channel.UseRequestPort();
                    if (!SendBuiltRequest(context, outcome, length, timeouts.requestSeconds)) {
                        return false;
                    }
                    continue;
                }
                case OptionNegotiation::Answer::Plain:
                case OptionNegotiation::Answer::NotJudged:
                    break;
            }
        }
        if (received > 0 && !blockTaken && channel.Asked().Any() &&
            channel.ReceivedOpcode() == tftp::kOpOack) {
            // The agreement again: our acknowledgement of it was lost.
            if (!AcknowledgeOptions(context, outcome, timeouts)) {
                return false;
            }
            continue;
        }
        const BlockSink::Verdict verdict = sink.Take(received, lastBlock);
        const int window = channel.Agreed().windowsize;
        switch (verdict) {
            case BlockSink::Verdict::Stop:
                return false;
            case BlockSink::Verdict::Ignore:
                continue;
            case BlockSink::Verdict::Gap:
                if (gapAcknowledged) {
                    continue;
                }
                gapAcknowledged = true;
                sinceAck = 0;
                break;
            case BlockSink::Verdict::Accepted:
                blockTaken = true;
                gapAcknowledged = false;
                if (++sinceAck < window && !lastBlock) {
                    continue;
                }
                sinceAck = 0;
                break;
            case BlockSink::Verdict::Acknowledge:
                blockTaken = true;
                break;
        }
        if (!Acknowledge(context, outcome, timeouts)) {
            return false;
        }
        if (lastBlock) {
            return true;
        }
    }
}

}  // namespace kalvoran

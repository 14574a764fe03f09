#include "tftp/Negotiation.h"

#include <string>

#include "tftp/AgentText.h"
#include "tftp/SessionTexts.h"

namespace kalvoran {

namespace {

// " blksize 1468, windowsize 16, tsize 4096": the values in force, as the agent named them.
std::string AgreedValues(const tftp::Agreement& agreed, const tftp::AskedOptions& asked) {
    std::string text;
    const auto add = [&text](std::string_view name, std::int64_t value) {
        text += text.empty() ? " " : ", ";
        text += name;
        text += ' ';
        text += std::to_string(value);
    };
    if (asked.blksize != 0) {
        add(tftp::kBlksizeOption, agreed.blksize);
    }
    if (asked.windowsize != 0) {
        add(tftp::kWindowsizeOption, agreed.windowsize);
    }
    if (agreed.tsize >= 0) {
        add(tftp::kTsizeOption, agreed.tsize);
    }
    return text.empty() ? " none" : text;
}

}  // namespace

OptionNegotiation::Answer OptionNegotiation::Judge(TftpChannel& channel, StatusDisplay& display,
                                                   std::span<const std::uint8_t> packet) {
    if (!pending || !tftp::IsWholePacket(packet)) {
        return Answer::NotJudged;
    }
    pending = false;
    switch (tftp::OpcodeOf(packet)) {
        case tftp::kOpOack: {
            const tftp::OackReading reading = tftp::ReadOack(packet, channel.Asked());
            if (reading.agreed) {
                channel.Agree(*reading.agreed);
                display.AppendStatusLine(FormatLine(
                    kOptionsAgreedText, AgreedValues(*reading.agreed, channel.Asked()).c_str()));
                return Answer::Agreed;
            }
            (void)channel.SendError(tftp::kErrorOptionsRefused,
                                    "Option answer refused: " + reading.problem);
            display.AppendStatusLine(FormatLine(kOptionAnswerRefusedText, reading.problem.c_str()));
            retried = true;
            return Answer::AskPlain;
        }
        case tftp::kOpError:
            if (tftp::ErrorCodeOf(packet) != tftp::kErrorOptionsRefused) {
                return Answer::NotJudged;
            }
            display.AppendStatusLine(FormatLine(
                kOptionsRefusedText,
                ("error code 8: " + EscapeAgentText(tftp::ErrorTextOf(packet))).c_str()));
            retried = true;
            return Answer::AskPlain;
        default:
            display.AppendStatusLine(kOptionsIgnoredText);
            return Answer::Plain;
    }
}

}  // namespace kalvoran

// libFuzzer target over the "Len:" header of a generated configuration: the length the agent
// announces in the first DATA block of the file it generates (FetchSession::AnnouncedLength).
//
// Input: the block's payload as it came (any length; only its first 512 bytes can arrive in a
// block). The last eight bytes also give a length written into a header of the agent's form.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzTarget.h"
#include "agent-sim/AgentFiles.h"
#include "tftp/FetchSession.h"
#include "tftp/TftpPacket.h"

namespace {

using kalvoran::FetchSession;
namespace tftp = kalvoran::tftp;

using kalvoran::fuzzing::Check;

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The block as text: its first 512 bytes up to the first zero byte.
std::string_view TextOfBlock(std::span<const std::uint8_t> data) {
    const auto block = data.first(std::min(data.size(), tftp::kBlockSize));
    const auto end = std::find(block.begin(), block.end(), 0);
    return {reinterpret_cast<const char*>(block.data()),
            static_cast<std::size_t>(end - block.begin())};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> block(data, size);
    const long announced = FetchSession::AnnouncedLength(block);
    const std::string_view text = TextOfBlock(block);

    // -1 exactly when the text holds no "Len:" (a header may still announce -1 itself).
    const bool hasHeader = text.find("Len:") != std::string_view::npos;
    Check(hasHeader || announced == -1);
    // Read twice, the same; nothing past the text (its zero byte, or the block's end) counts.
    Check(FetchSession::AnnouncedLength(block) == announced);
    Check(FetchSession::AnnouncedLength(Bytes(text)) == announced);
    if (size > tftp::kBlockSize) {
        Check(FetchSession::AnnouncedLength(block.first(tftp::kBlockSize)) == announced);
    }
    // The number is the hexadecimal digits after the first "Len:", once blanks and a sign (and
    // a 0x) are passed; a number too long for a long saturates.
    if (hasHeader) {
        const std::string digits(text.substr(text.find("Len:") + 4));
        char* end = nullptr;
        const long expected = std::strtol(digits.c_str(), &end, 16);
        Check(announced == expected);
        Check(end >= digits.c_str() && end <= digits.c_str() + digits.size());
    }

    // A header written as the agent writes it, in front of anything, announces that length.
    std::uint64_t length = 0;
    if (size >= sizeof length) {
        std::memcpy(&length, data + size - sizeof length, sizeof length);
    }
    length &= static_cast<std::uint64_t>(LONG_MAX);
    char header[32];
    std::snprintf(header, sizeof header, "Len:%llx\r\n", static_cast<unsigned long long>(length));
    std::vector<std::uint8_t> written(header, header + std::strlen(header));
    written.insert(written.end(), data, data + std::min(size, tftp::kBlockSize));
    Check(FetchSession::AnnouncedLength(written) == static_cast<long>(length));

    // The agent's own generated configuration (the input as its request) announces its length.
    if (size <= 2048) {
        const kalvoran::agentsim::Bytes config = kalvoran::agentsim::GenerateConfig(block);
        Check(FetchSession::AnnouncedLength(config) == static_cast<long>(config.size()));
    }
    return 0;
}

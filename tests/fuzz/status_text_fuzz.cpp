// libFuzzer target over the status-text matcher: the text an agent's "status.bin" block holds
// (StatusReport::TextOf) and whether it reports a final status (StatusReport::Classify).
//
// Input: the DATA payload as it came. Its first byte also chooses a role and a step of the
// simulated agent, whose status texts the matcher must read as the agent means them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "FuzzTarget.h"
#include "agent-sim/AgentFiles.h"
#include "tftp/StatusReport.h"

namespace {

using kalvoran::StatusReport;
namespace agentsim = kalvoran::agentsim;

using kalvoran::fuzzing::Check;

constexpr std::string_view kConfigFileDone = "Config file done";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> payload(data, size);
    const std::string_view text = StatusReport::TextOf(payload);
    // From the payload's start to its first zero byte, or all of it.
    Check(text.data() == reinterpret_cast<const char*>(data) && text.size() <= size);
    Check(std::memchr(text.data(), 0, text.size()) == nullptr);
    Check(text.size() == size || data[text.size()] == 0);

    const int classified = StatusReport::Classify(text);
    Check(classified == StatusReport::kNotFinal || classified == StatusReport::kFinal ||
          classified == StatusReport::kConfigFileDone);
    Check(StatusReport::Classify(text) == classified);
    Check(text.empty() ? classified == StatusReport::kFinal : true);
    Check((classified == StatusReport::kConfigFileDone) ==
          (text.find(kConfigFileDone) != std::string_view::npos));

    // A phrase is found wherever it stands: around it, the text stays final; after it, the
    // phrase makes any text final.
    const std::string around = "Agent: " + std::string(text) + " (end)";
    if (!text.empty() && classified != StatusReport::kNotFinal) {
        Check(StatusReport::Classify(around) != StatusReport::kNotFinal);
    }
    Check(StatusReport::Classify(std::string(text) + "Config done") != StatusReport::kNotFinal);
    Check(StatusReport::Classify(std::string(text) + std::string(kConfigFileDone)) ==
          StatusReport::kConfigFileDone);

    // The simulated agent's texts: its intermediate steps are not final, its last one is, and
    // only a generated configuration reports "Config file done".
    if (size >= 1) {
        constexpr agentsim::FileRole kRoles[] = {
            agentsim::FileRole::Image, agentsim::FileRole::Config, agentsim::FileRole::Command,
            agentsim::FileRole::Request, agentsim::FileRole::FileSystem};
        const agentsim::FileRole role = kRoles[data[0] % 5];
        const int steps = (data[0] >> 3) % 5;
        for (int step = 1; step <= steps + 1; ++step) {
            const std::string status = agentsim::StatusText(role, step, steps, "");
            const int expected = step <= steps ? StatusReport::kNotFinal
                                 : role == agentsim::FileRole::Request
                                     ? StatusReport::kConfigFileDone
                                     : StatusReport::kFinal;
            Check(StatusReport::Classify(status) == expected);
        }
        // A final text the agent was told to report instead is read as it is.
        Check(StatusReport::Classify(agentsim::StatusText(role, steps + 1, steps, text)) ==
              (text.empty()
                   ? StatusReport::Classify(agentsim::StatusText(role, steps + 1, steps, ""))
                   : classified));
    }
    return 0;
}

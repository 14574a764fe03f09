// What one agent's worker tells the fleet on its pipe, one JSON object a line: progress while it
// runs (the step, blocks done of the total, the byte count) and, last, how the agent ended.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kalvoran::fleet {

struct AgentProgress {
    std::string phase;  // "ping", "sending", "status" or "fetching"
    std::int64_t done = 0;
    std::int64_t total = 0;
    std::int64_t bytes = 0;

    int Percent() const { return total > 0 ? static_cast<int>(done * 100 / total) : 0; }
};

struct AgentEnd {
    int result = 0;  // 0 to 4
    std::string reason;
    std::int64_t bytes = 0;
    std::string status;    // the agent's status text, when one was served
    std::string logError;  // why the agent's log was not written, or not all of it
};

std::string ProgressMessage(const AgentProgress& progress);
// Writes one message and its line end to the pipe; a fleet that has gone takes nothing, and the
// work still ends as it would.
void WriteMessage(int fd, const std::string& message);
std::string EndMessage(const AgentEnd& end);

struct AgentMessage {
    bool isEnd = false;
    AgentProgress progress;
    AgentEnd end;
};
// One line, without its '\n'; false when it is no message.
bool ReadAgentMessage(std::string_view line, AgentMessage& message);

}  // namespace kalvoran::fleet

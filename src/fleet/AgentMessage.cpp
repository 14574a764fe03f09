#include "fleet/AgentMessage.h"

#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

namespace kalvoran::fleet {

namespace {

using Json = nlohmann::ordered_json;

// Agent text may hold bytes that are no UTF-8: they are replaced, never thrown over.
std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

void WriteMessage(int fd, const std::string& message) {
    const std::string text = message + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno != EINTR) {
            return;
        }
        written += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

std::string ProgressMessage(const AgentProgress& progress) {
    return Dump(Json{{"phase", progress.phase},
                     {"done", progress.done},
                     {"total", progress.total},
                     {"bytes", progress.bytes}});
}

std::string EndMessage(const AgentEnd& end) {
    return Dump(Json{{"end", true},
                     {"result", end.result},
                     {"reason", end.reason},
                     {"bytes", end.bytes},
                     {"status", end.status},
                     {"log", end.logError}});
}

bool ReadAgentMessage(std::string_view line, AgentMessage& message) {
    const Json json = Json::parse(line, nullptr, false);
    if (!json.is_object()) {
        return false;
    }
    const auto text = [&json](const char* key) {
        const auto found = json.find(key);
        return found != json.end() && found->is_string() ? found->get<std::string>()
                                                         : std::string();
    };
    const auto number = [&json](const char* key) -> std::int64_t {
        const auto found = json.find(key);
        return found != json.end() && found->is_number_integer() ? found->get<std::int64_t>() : 0;
    };
    message.isEnd = json.contains("end");
    if (message.isEnd) {
        message.end.result = static_cast<int>(number("result"));
        message.end.reason = text("reason");
        message.end.bytes = number("bytes");
        message.end.status = text("status");
        message.end.logError = text("log");
    } else {
        message.progress.phase = text("phase");
        message.progress.done = number("done");
        message.progress.total = number("total");
        message.progress.bytes = number("bytes");
    }
    return true;
}

}  // namespace kalvoran::fleet

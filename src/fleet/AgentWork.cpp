#include "fleet/AgentWork.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string_view>

#include "tftp/Clock.h"
#include "tftp/HeadlessView.h"
#include "tftp/StatusReport.h"
#include "tftp/TftpClient.h"

namespace kalvoran::fleet {

volatile std::sig_atomic_t gAgentCancel = 0;

namespace {

using Json = nlohmann::ordered_json;

// The final phrases that mean an upgrade took.
constexpr std::string_view kGoodFinalPhrases[] = {"Memory compare Flash/Ram is OK", "Config done"};
// The status-log lines with which a session starts moving data.
constexpr std::string_view kSendingPrefix = "Sending file: ";
constexpr std::string_view kGettingPrefix = "Getting file: ";
// The fleet's view is brought up to date at most this often.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void WriteLine(int fd, const std::string& line) {
    std::string text = line + "\n";
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            return;  // the fleet has gone; the work still ends as it would
        }
        written += static_cast<std::size_t>(n);
    }
}

// The window of one agent's work: nothing is shown; the bar, the byte count and the phase go to
// the fleet (at most every 100 ms, and at once when the phase changes), and a cancel from the
// fleet runs the client's close operation at the next pump.
class WorkView final : public HeadlessView {
public:
    explicit WorkView(int fd) : HeadlessView(nullptr), reportFd(fd) {}

    void Attach(TftpClient& owner) { client = &owner; }
    void SetPhase(std::string_view phase) {
        progress.phase = phase;
        progress.position = 0;
        progress.range = 0;
        Send(true);
    }

    void AppendStatusLine(std::string_view text) override {
        if (text.starts_with(kSendingPrefix)) {
            SetPhase("sending");
        } else if (text.starts_with(kGettingPrefix)) {
            SetPhase("fetching");
        }
    }
    void SetProgressRange(std::uint16_t maximum) override {
        progress.range = maximum;
        Send(false);
    }
    void SetProgressPos(int position) override {
        progress.position = position;
        Send(false);
    }
    void SetProgressStep(int step) override { stepSize = step; }
    void StepProgress() override {
        progress.position += stepSize;
        if (progress.position > progress.range) {
            progress.position = 0;
        }
        Send(false);
    }
    void SetStatField(StatField field, std::string_view text) override {
        if (field == StatField::BytesSentRecvd) {
            progress.bytes = std::strtoll(std::string(text).c_str(), nullptr, 10);
            Send(false);
        }
    }
    void PumpMessages() override {
        if (gAgentCancel != 0 && client != nullptr && !cancelled) {
            cancelled = true;
            client->OnCancel();
        }
    }

private:
    void Send(bool now) {
        const auto time = std::chrono::steady_clock::now();
        if (!now && time - lastSent < kProgressInterval) {
            return;
        }
        lastSent = time;
        WriteLine(reportFd, ProgressMessage(progress));
    }

    int reportFd;
    TftpClient* client = nullptr;
    AgentProgress progress;
    int stepSize = 1;
    bool cancelled = false;
    std::chrono::steady_clock::time_point lastSent{};
};

bool GoodFinalStatus(std::string_view text) {
    for (std::string_view phrase : kGoodFinalPhrases) {
        if (text.find(phrase) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

AgentEnd RunJob(const AgentJob& job, TftpClient& client, WorkView& view) {
    AgentEnd end;
    const Transfer transfer{job.sendType, job.file, job.agent, {}};
    view.SetPhase("ping");
    switch (job.action) {
        case Action::Send: {
            client.InitUnattended(transfer);
            if (job.verify) {
                // The poll starts after the send has succeeded.
                client.SendThenPoll(transfer, false);
                if (client.resultCode == kResultSuccess) {
                    end.bytes = client.LastOutcome().bytesMoved;
                    view.SetPhase("status");
                    client.PollAgentStatus(transfer);
                    end.status = client.LastOutcome().statusText;
                    if (!GoodFinalStatus(end.status)) {
                        end.result = kResultJobFailed;
                        end.reason = end.status.empty() ? "no final status from the agent"
                                                        : "the agent reported: " + end.status;
                    }
                    return end;
                }
            } else {
                client.SendThenPoll(transfer, false);
            }
            break;
        }
        case Action::Eeprom: {
            const Transfer fetch{READ_EEPROM_FILE, job.destination, job.agent, {}};
            client.InitUnattended(fetch);
            client.FetchFromAgent(fetch);
            break;
        }
        case Action::ConfigFile: {
            const Transfer request{CREATE_CONFIG_FILE, job.file, job.agent, {}};
            const Transfer fetch{CREATE_CONFIG_FILE, job.destination, job.agent, {}};
            client.InitUnattended(request);
            const int status = client.ConfigFileChain(request, fetch);
            if (client.resultCode == kResultSuccess && status != StatusReport::kConfigFileDone) {
                end.result = kResultJobFailed;
                end.status = client.LastOutcome().statusText;
                end.reason = end.status.empty() ? "no \"Config file done\" from the agent"
                                                : "the agent reported: " + end.status;
                return end;
            }
            break;
        }
        case Action::Status: {
            const Transfer read{APPLICATION_UPGRADE, {}, job.agent, {}};
            client.InitUnattended(read);
            view.SetPhase("status");
            client.ReadAgentStatus(read);
            const Outcome& outcome = client.LastOutcome();
            end.status = outcome.statusText;
            end.bytes = outcome.bytesMoved;
            if (!end.status.empty()) {
                return end;  // a status was read, whatever it says
            }
            // No text: the agent answered no ping, or served no status.
            end.result =
                std::string_view(outcome.reason).starts_with(StatusReport::kUnavailableText)
                    ? kResultNetworkFailure
                    : (outcome.resultCode == kResultSuccess ? kResultNetworkFailure
                                                            : outcome.resultCode);
            end.reason = outcome.reason.empty() ? "no status from the agent" : outcome.reason;
            return end;
        }
    }
    const Outcome& outcome = client.LastOutcome();
    end.result = client.resultCode;
    end.bytes = outcome.bytesMoved;
    if (end.result != kResultSuccess) {
        end.reason = outcome.reason.empty() ? "failed" : outcome.reason;
    }
    return end;
}

}  // namespace

std::string ProgressMessage(const AgentProgress& progress) {
    return Dump(Json{{"phase", progress.phase},
                     {"position", progress.position},
                     {"range", progress.range},
                     {"bytes", progress.bytes}});
}

std::string EndMessage(const AgentEnd& end) {
    return Dump(Json{{"end", true},
                     {"result", end.result},
                     {"reason", end.reason},
                     {"bytes", end.bytes},
                     {"status", end.status}});
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
    } else {
        message.progress.phase = text("phase");
        message.progress.position = static_cast<int>(number("position"));
        message.progress.range = static_cast<int>(number("range"));
        message.progress.bytes = number("bytes");
    }
    return true;
}

int RunAgentWork(const AgentJob& job, int reportFd) {
    std::FILE* log = std::fopen(job.logPath.c_str(), job.appendLog ? "ae" : "we");
    WorkView view(reportFd);
    SystemClock clock;
    // The profile is never read or written by an unattended run; the path only names it.
    TftpClient client(view, clock, job.logPath + ".profile", ClientIo{log, nullptr, nullptr});
    view.Attach(client);
    const AgentEnd end = RunJob(job, client, view);
    if (log != nullptr) {
        std::fclose(log);
    }
    WriteLine(reportFd, EndMessage(end));
    return end.result;
}

}  // namespace kalvoran::fleet

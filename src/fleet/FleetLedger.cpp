#include "fleet/FleetLedger.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string_view>
#include <utility>

#include "fleet/FleetView.h"
#include "tftp/AgentText.h"

namespace kalvoran::fleet {

namespace {

constexpr std::size_t kShortDigest = 12;
constexpr std::size_t kMostNamed = 10;  // agents a missed-results note names

// The parts joined by separator, and a line end.
std::string Line(std::initializer_list<std::string_view> parts, std::string_view separator) {
    std::string line;
    bool first = true;
    for (const std::string_view part : parts) {
        if (!first) {
            line += separator;
        }
        line += part;
        first = false;
    }
    line += '\n';
    return line;
}

std::string Short(const std::string& sha256) {
    return sha256.substr(0, kShortDigest);
}

std::string Field(const std::string& text) {
    return EscapeAgentText(text);
}

std::string ActionAndType(const std::string& action, const std::string& type) {
    return type.empty() ? action : action + " " + type;
}

std::string Dump(const nlohmann::ordered_json& array) {
    std::string text = array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    text += '\n';
    return text;
}

}  // namespace

LedgerAttempt AttemptOf(const AgentState& agent, int result, const std::string& reason) {
    const auto seconds =
        std::chrono::duration<double>(FleetClock::now() - agent.attemptStart).count();
    return LedgerAttempt{agent.record.address,
                         agent.record.label,
                         result,
                         reason,
                         agent.end.bytes,
                         seconds,
                         agent.record.attempts,
                         agent.end.status,
                         UtcText(agent.attemptStartedAt),
                         UtcNow()};
}

void LedgerRecorder::AttemptEnded(const AgentState& agent) {
    earlier[agent.record.address].push_back(AttemptOf(agent, agent.end.result, agent.end.reason));
    inner.AttemptEnded(agent);
}

void LedgerRecorder::Finished(const AgentState& agent) {
    // An agent cancelled before it started was never contacted: nothing to record.
    if (agent.record.attempts > 0) {
        Unrecorded done;
        done.attempts = std::move(earlier[agent.record.address]);
        earlier.erase(agent.record.address);
        done.attempts.push_back(AttemptOf(agent, agent.record.result, agent.record.reason));
        Record(std::move(done));
    }
    inner.Finished(agent);
}

void LedgerRecorder::Skipped(const AgentState& agent) {
    const std::string now = UtcNow();
    Unrecorded skipped;
    skipped.skipped = true;
    skipped.attempts.push_back(LedgerAttempt{agent.record.address, agent.record.label, 0,
                                             agent.record.reason, 0, 0, 0, agent.record.status, now,
                                             now});
    Record(std::move(skipped));
    inner.Finished(agent);
}

bool LedgerRecorder::TryRecord(const Unrecorded& agent) {
    std::string error;
    if (book == nullptr || !book->RecordAgent(agent.attempts, verified, agent.skipped, error)) {
        if (book != nullptr) {
            lastProblem = error;
        }
        return false;
    }
    return true;
}

void LedgerRecorder::Record(Unrecorded agent) {
    // What an earlier failure kept goes first, in the order the agents finished.
    while (!missed.empty() && TryRecord(missed.front())) {
        missed.erase(missed.begin());
    }
    if (!missed.empty() || !TryRecord(agent)) {
        missed.push_back(std::move(agent));
    }
}

std::string LedgerRecorder::Close(bool interrupted) {
    while (!missed.empty() && TryRecord(missed.front())) {
        missed.erase(missed.begin());
    }
    std::string error;
    const bool ended = book != nullptr && book->EndRun(UtcNow(), interrupted, error);
    if (missed.empty()) {
        return ended || book == nullptr ? std::string() : error + " (the run's end not recorded)";
    }
    std::string note = lastProblem + ": the results of " + std::to_string(missed.size()) +
                       (missed.size() == 1 ? " agent were" : " agents were") + " not recorded (";
    for (std::size_t i = 0; i < missed.size() && i < kMostNamed; ++i) {
        note += (i > 0 ? ", " : "") + missed[i].attempts.front().address;
    }
    note += missed.size() > kMostNamed ? ", ...)" : ")";
    return note;
}

std::string FormatHistory(const std::vector<HistoryEntry>& entries, bool terminal) {
    std::string text;
    std::string agent;
    for (const HistoryEntry& entry : entries) {
        const std::string what = ActionAndType(entry.action, entry.type);
        const std::string file =
            entry.file.empty() ? std::string() : Field(entry.file) + " " + Short(entry.sha256);
        if (!terminal) {
            text +=
                Line({entry.address, Field(entry.label), what, std::to_string(entry.result),
                      Field(entry.file), Short(entry.sha256), entry.ended,
                      "run " + std::to_string(entry.run), Field(entry.status), Field(entry.reason)},
                     "\t");
            continue;
        }
        if (entry.address != agent) {
            agent = entry.address;
            text += Line({text.empty() ? "" : "\n", entry.address, entry.label.empty() ? "" : "  ",
                          Field(entry.label)},
                         "");
        }
        char line[160];
        std::snprintf(line, sizeof line, "  %-17s %-6s %s  run %lld  ", what.c_str(),
                      entry.result == 0 ? "ok" : ("FAIL " + std::to_string(entry.result)).c_str(),
                      entry.ended.c_str(), static_cast<long long>(entry.run));
        text += line + file;
        if (entry.result != 0) {
            text += (file.empty() ? "" : "  ") + Field(entry.reason);
        } else if (!entry.status.empty()) {
            text += (file.empty() ? "" : "  ") + Field(entry.status);
        }
        text += "\n";
    }
    if (terminal && entries.empty()) {
        text = "nothing recorded\n";
    }
    return text;
}

std::string FormatHistoryJson(const std::vector<HistoryEntry>& entries) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const HistoryEntry& entry : entries) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        object["address"] = entry.address;
        object["label"] = entry.label;
        object["action"] = entry.action;
        object["type"] = entry.type;
        object["result"] = entry.result;
        object["reason"] = entry.reason;
        object["bytes"] = entry.bytes;
        object["seconds"] = std::round(entry.seconds * 1000) / 1000;
        object["attempts"] = entry.attempts;
        object["status"] = entry.status;
        object["file"] = entry.file;
        object["sha256"] = entry.sha256;
        object["run"] = entry.run;
        object["started"] = entry.started;
        object["ended"] = entry.ended;
        array.push_back(std::move(object));
    }
    return Dump(array);
}

std::string FormatRuns(const std::vector<RunSummary>& runs, bool terminal) {
    std::string text;
    for (const RunSummary& run : runs) {
        const std::string ended = run.ended.empty() ? std::string("(no end recorded)") : run.ended;
        const std::string file =
            run.file.empty() ? std::string() : "  " + Field(run.file) + " " + Short(run.sha256);
        const std::string counts = "agents " + std::to_string(run.agents) + ", succeeded " +
                                   std::to_string(run.succeeded) + ", skipped " +
                                   std::to_string(run.skipped) +
                                   (run.interrupted ? ", interrupted" : "");
        const std::string who = Line({Field(run.user), Field(run.host)}, "@");
        const std::string_view user = std::string_view(who).substr(0, who.size() - 1);
        if (terminal) {
            text +=
                Line({"run " + std::to_string(run.run), run.started + " .. " + ended, user}, "  ");
            text += Line({"  " + ActionAndType(run.action, run.type) + file, counts}, "  ");
            text += Line({"  " + Field(run.commandLine)}, "");
        } else {
            text += Line({std::to_string(run.run), run.started, run.ended, user,
                          ActionAndType(run.action, run.type), Field(run.file), Short(run.sha256),
                          counts, Field(run.commandLine)},
                         "\t");
        }
    }
    if (terminal && runs.empty()) {
        text = "no runs recorded\n";
    }
    return text;
}

std::string FormatRunsJson(const std::vector<RunSummary>& runs) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const RunSummary& run : runs) {
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        object["run"] = run.run;
        object["started"] = run.started;
        object["ended"] = run.ended;
        object["host"] = run.host;
        object["user"] = run.user;
        object["command"] = run.commandLine;
        object["action"] = run.action;
        object["type"] = run.type;
        object["file"] = run.file;
        object["sha256"] = run.sha256;
        object["interrupted"] = run.interrupted;
        object["agents"] = run.agents;
        object["succeeded"] = run.succeeded;
        object["skipped"] = run.skipped;
        array.push_back(std::move(object));
    }
    return Dump(array);
}

}  // namespace kalvoran::fleet

// What a session returns: how it ended and what it moved. The driver that ran it shows it (the
// completion report, boxes already shown, the exit code of a command-line run); a program that
// runs many transfers reads it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "files/StoredCrc.h"
#include "tftp/ResultCode.h"

namespace kalvoran {

// What a status text says of the agent's job, decided by one phrase table (StatusReport).
enum class StatusVerdict {
    None,            // no text was served: no status read, or it failed
    NotFinal,        // the job is still running
    Ok,              // "Memory compare Flash/Ram is OK", "Config done"
    JobFailed,       // the agent reported that its job failed
    Empty,           // the agent served an empty text: no final status to be had
    ConfigFileDone,  // the configuration the agent generates is ready to be fetched
};

struct Outcome {
    int resultCode = kResultSuccess;
    // Set by every failing end, and kept when a later step succeeds (an agent that answered
    // only after the agent wait had given up): while set no completion lines are written.
    bool failed = false;
    // Why the session failed, as the status log or the box said it; empty on success and for
    // ends that have no words (a cancel, an unanswered ping during a status read).
    std::string reason;
    std::int32_t bytesMoved = 0;
    std::int32_t fileLength = 0;  // the file sent; 0 for a fetch
    CrcText storedCrc{};          // the CRC32 the sent file carries in its last four bytes
    // A status read: the agent's text and how the attempt ended (StatusReport::kNotFinal, ...).
    std::string statusText;
    int statusResult = 0;
    StatusVerdict verdict = StatusVerdict::None;
    // The agent answered no ping within the session's wait.
    bool agentSilent = false;
    // Whether the completion report ("Connection closed" and what follows) is written.
    bool report = true;

    void Fail(int code) {
        failed = true;
        resultCode = code;
    }
    void Fail(int code, std::string why) {
        Fail(code);
        reason = std::move(why);
    }
};

}  // namespace kalvoran

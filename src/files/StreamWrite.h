// Writing a run's report to standard output or standard error without letting the reader hold
// up the run. A pipe whose reader has stopped reading (its buffer full), a terminal held with
// Ctrl-S or a closed descriptor must not stop an upgrade in the middle: the agent would time
// out, and the script would never get its exit code.
#pragma once

#include <cstdio>
#include <string_view>

namespace kalvoran {

// How long one write waits for the reader to make room before its text is dropped.
inline constexpr int kStreamRoomWaitMs = 100;

// Writes text to the stream's descriptor directly, in pieces that a pipe takes whole once it
// shows room, each after waiting at most kStreamRoomWaitMs for that room (no wait at all while
// the descriptor's last write found none). Text that finds no room,
// or that the descriptor refuses (closed, a full device), is dropped. True when all of it was
// written. The stream must not hold output of its own in its buffer: every write of the run's
// report goes through here. A stream without a descriptor (a memory stream) is written as usual.
bool WriteWithoutStalling(std::FILE* stream, std::string_view text);

}  // namespace kalvoran

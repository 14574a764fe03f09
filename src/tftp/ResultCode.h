// The outcome of a session as one small number: the exit code of a command-line run and of the
// close operation, and what the window's driver reads to decide what comes next.
#pragma once

namespace kalvoran {

inline constexpr int kResultSuccess = 0;
// The agent answered no ping (or a status attempt ended with a final status).
inline constexpr int kResultNoPingAnswer = 1;
// Refused or abandoned locally: type, file, cancel, and a wrong number of arguments.
inline constexpr int kResultRefused = 2;
// Socket, ERROR from the agent, missing acknowledgements, an address that is not valid.
inline constexpr int kResultNetworkFailure = 3;
// The fleet's own: the agent took the file but reported a failed job, or no final status.
inline constexpr int kResultJobFailed = 4;

}  // namespace kalvoran

// The fleet's checks of the paths it will write before anything is sent: a report that would
// overwrite an input or a file the run writes, a report or a logs folder that cannot be written.
// The run and --check make the same checks, so a check that passes is a run that starts.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kalvoran::fleet {

// Why the report cannot be written to path, or "" when it can: path, its links followed, names
// one of the run's own files (theirs followed too), or something other than a regular file, or
// a new name in a folder that is missing or cannot be written.
std::string ReportPathRefusal(const std::string& path, const std::vector<std::string>& runFiles);

// Why the logs cannot go into folder, or "" when they can: it is something other than a folder,
// or it is missing and its nearest existing parent is no folder that can be written. A folder
// reached through a link is taken only when the command line named the link itself
// (givenByName); the default folder must be a real folder, so that no link planted in the
// current folder redirects the logs.
std::string LogsFolderRefusal(const std::string& folder, bool givenByName);

// Opens an agent's log for writing without following a link: a new file (O_EXCL), or, for an
// attempt after the first (append) or a log folder used again, the regular file of that name
// with no other name (its content then added to, or replaced). nullptr, with why set, when the
// log cannot be had that way.
std::FILE* OpenAgentLog(const std::string& path, bool append, std::string& why);

}  // namespace kalvoran::fleet

#include "fleet/Paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace kalvoran::fleet {

namespace {

namespace fs = std::filesystem;

// The path with every link resolved as far as the path exists.
fs::path Resolved(const std::string& path) {
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::path(path).lexically_normal() : resolved;
}

bool WritableFolder(const fs::path& folder) {
    struct stat status {};
    return ::stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) &&
           ::access(folder.c_str(), W_OK | X_OK) == 0;
}

std::string Why(const std::string& what, const std::string& path, const std::string& reason) {
    return what + ": " + path + ": " + reason;
}

}  // namespace

std::string ReportPathRefusal(const std::string& path, const std::vector<std::string>& runFiles) {
    const fs::path report = Resolved(path);
    for (const std::string& file : runFiles) {
        if (!file.empty() && file != "-" && Resolved(file) == report) {
            return Why("report", path, "names " + file + ", which the run reads or writes");
        }
    }
    struct stat status {};
    if (::stat(report.c_str(), &status) == 0) {
        if (!S_ISREG(status.st_mode)) {
            return Why("report", path, "not a regular file");
        }
    } else if (errno != ENOENT) {
        return Why("report", path, std::strerror(errno));
    }
    // The report is written beside its name and renamed over it: its folder must take a file.
    const fs::path folder = report.parent_path().empty() ? fs::path(".") : report.parent_path();
    if (!WritableFolder(folder)) {
        return Why("report", path,
                   ::access(folder.c_str(), F_OK) == 0 ? "its folder cannot be written"
                                                       : "its folder does not exist");
    }
    return {};
}

std::string LogsFolderRefusal(const std::string& folder, bool givenByName) {
    fs::path path = fs::path(folder).lexically_normal();
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (S_ISLNK(status.st_mode) && !givenByName) {
            return Why("logs", folder, "a link (name the folder itself with --logs)");
        }
        if (!WritableFolder(path)) {
            return Why("logs", folder, "not a folder that can be written");
        }
        return {};
    }
    // It is made at the start of the run: the nearest part that exists must be a folder that
    // takes it, and no part of the default folder may be a link.
    for (fs::path parent = path.parent_path();; parent = parent.parent_path()) {
        const fs::path here = parent.empty() ? fs::path(".") : parent;
        if (::lstat(here.c_str(), &status) == 0) {
            if (S_ISLNK(status.st_mode) && !givenByName && !parent.empty()) {
                return Why("logs", folder, here.string() + " is a link");
            }
            return WritableFolder(here) ? std::string()
                                        : Why("logs", folder,
                                              here.string() +
                                                  " is not a folder that can be "
                                                  "written");
        }
        if (parent.empty() || parent == parent.root_path()) {
            return Why("logs", folder, "no part of it exists");
        }
    }
}

std::FILE* OpenAgentLog(const std::string& path, bool append, std::string& why) {
    constexpr int kFlags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
    constexpr mode_t kMode = 0644;
    int descriptor = append ? -1 : ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, kMode);
    if (descriptor < 0 && (append || errno == EEXIST)) {
        descriptor = ::open(path.c_str(), kFlags | (append ? O_APPEND : 0));
        struct stat status {};
        if (descriptor >= 0 && (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
                                status.st_nlink != 1)) {
            ::close(descriptor);
            errno = EPERM;
            descriptor = -1;
        } else if (descriptor >= 0 && !append && ::ftruncate(descriptor, 0) != 0) {
            ::close(descriptor);
            descriptor = -1;
        }
    }
    std::FILE* log = descriptor >= 0 ? ::fdopen(descriptor, "a") : nullptr;
    if (log == nullptr) {
        why = std::strerror(errno);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    }
    return log;
}

}  // namespace kalvoran::fleet

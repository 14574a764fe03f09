#include "files/LocalFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kalvoran {

namespace {

constexpr std::string_view kSizeFailedText = "GetFileSize failed";
constexpr std::string_view kReadFailedText = "file read failed";
constexpr std::string_view kWriteFailedText = "file write failed";
constexpr std::string_view kShortTransferText = "unexpected EOF";

// Files are read and written in binary: POSIX has no text mode, so no flag is needed for that.
// The descriptor is not inherited by programs the client may start.
// O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused right after (only regular
// files are used), and on regular files the flag changes nothing.
constexpr int kReadFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
// A fetched file replaces an older one completely: without O_TRUNC a longer old file would keep
// its tail beyond the end of the new data.
constexpr int kWriteFlags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK;
// Ordinary read and write permission for everyone the umask allows.
constexpr mode_t kCreateMode = 0666;

// A replacement beside its target is named kReplacementPrefix, the decimal id of the process
// that made it, a dash and kUniqueLength letters and digits from mkostemp: hidden, short enough
// to fit wherever the target's own name fits, and telling whose it is, so that one left behind
// by a process that was killed can be removed.
constexpr std::string_view kReplacementPrefix = ".kalvoran-";
constexpr char kUniqueTemplate[] = "XXXXXX";
constexpr std::size_t kUniqueLength = sizeof kUniqueTemplate - 1;

bool IsRegularFile(int descriptor) {
    struct stat status {};
    return ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

// True when path names nothing yet, or a regular file (directly or through a link). Otherwise
// why not goes to refusal when given: a directory, another kind of file, or the system's reason
// the path cannot be looked at.
bool NamesNothingOrARegularFile(const char* path, std::string* refusal = nullptr) {
    struct stat status {};
    const int error = ::stat(path, &status) == 0 ? 0 : errno;
    const bool usable = error == ENOENT || (error == 0 && S_ISREG(status.st_mode));
    if (!usable && refusal != nullptr) {
        *refusal = error != 0                ? std::strerror(error)
                   : S_ISDIR(status.st_mode) ? std::strerror(EISDIR)
                                             : "Not a regular file";
    }
    return usable;
}

// Gives the replacement held by descriptor the permissions it should have once it bears the name
// target. mkostemp creates it for its owner only. An earlier file's permission bits, owner and
// group are kept, so that a fetched EEPROM image or configuration, which can hold secrets, is no
// more open than the one it replaces; setuid, setgid and sticky bits are not carried over to
// content that is new. The owner and group are kept where the process may set them (root; a
// member of the file's group keeps that group); otherwise the replacement stays the process's.
// With no earlier file it gets what ModeWrite would have given a new file.
void TakeOverPermissions(int descriptor, const char* target) {
    struct stat earlier {};
    if (::stat(target, &earlier) != 0 || !S_ISREG(earlier.st_mode)) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(descriptor, kCreateMode & ~mask);
        return;
    }
    // Before fchmod: changing the owner can clear permission bits.
    if (::fchown(descriptor, earlier.st_uid, earlier.st_gid) != 0 && errno == EPERM) {
        ::fchown(descriptor, static_cast<uid_t>(-1), earlier.st_gid);
    }
    ::fchmod(descriptor, earlier.st_mode & 0777);
}

bool IsLetterOrDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The id of the process that made the replacement called name, or 0 when name is not exactly a
// replacement's (kReplacementPrefix, a process id without sign or leading zero, a dash and
// kUniqueLength letters and digits). Names without the id are never taken for one.
pid_t OwnerOfReplacement(std::string_view name) {
    if (!name.starts_with(kReplacementPrefix)) {
        return 0;
    }
    name.remove_prefix(kReplacementPrefix.size());
    const std::size_t dash = name.find('-');
    if (dash == std::string_view::npos || dash == 0 || name.front() == '0' ||
        name.size() != dash + 1 + kUniqueLength) {
        return 0;
    }
    for (const char c : name.substr(dash + 1)) {
        if (!IsLetterOrDigit(c)) {
            return 0;
        }
    }
    pid_t owner = 0;
    const char* const end = name.data() + dash;
    const auto [stop, error] = std::from_chars(name.data(), end, owner);
    return error == std::errc() && stop == end && owner > 0 ? owner : 0;
}

// Removes from folder the replacements whose process no longer exists: a fetch killed midway
// (SIGKILL, a power loss) cannot remove its own. Only regular files are removed, and only when
// kill says there is no such process (ESRCH); a process that exists but may not be signalled
// (EPERM) is alive, and this process's own replacements are never touched.
}  // namespace

void CLocalFile::RemoveAbandonedReplacements(const std::string& folder) {
    DIR* const listing = ::opendir(folder.empty() ? "." : folder.c_str());
    if (listing == nullptr) {
        return;
    }
    const int folderDescriptor = ::dirfd(listing);
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(listing)) {
        const pid_t owner = OwnerOfReplacement(entry->d_name);
        if (owner == 0 || owner == self || ::kill(owner, 0) == 0 || errno != ESRCH) {
            continue;
        }
        // Not following a link: a link of that name is not a replacement, nor what it points to.
        struct stat status {};
        if (::fstatat(folderDescriptor, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(status.st_mode)) {
            ::unlinkat(folderDescriptor, entry->d_name, 0);
        }
    }
    ::closedir(listing);
}

namespace {

int CloseQuietly(int descriptor) {
    const int result = ::close(descriptor);
    return result == 0 || errno == EINTR ? 0 : -1;
}

}  // namespace

CLocalFile::~CLocalFile() {
    descriptor = kNoFile;
}

int CLocalFile::Open(const char* path, int mode) {
    int flags = 0;
    if (mode == ModeRead) {
        flags = kReadFlags;
    } else if (mode == ModeWrite) {
        flags = kWriteFlags;
    } else {
        return kNoFile;
    }
    if (path == nullptr || (mode == ModeWrite && !NamesNothingOrARegularFile(path))) {
        return kNoFile;
    }
    int opened = -1;
    do {
        opened = ::open(path, flags, kCreateMode);
    } while (opened < 0 && errno == EINTR);
    if (opened < 0) {
        return kNoFile;
    }
    if (!IsRegularFile(opened)) {
        ::close(opened);
        return kNoFile;
    }
    // Only one file is held at a time; the one still held is let go once the new one is open,
    // so a failed open leaves it in place.
    Close();
    descriptor = opened;
    return descriptor;
}

int CLocalFile::OpenReplacement(const char* path) {
    lastError.clear();
    if (path == nullptr || *path == '\0') {
        lastError = std::strerror(ENOENT);
        return kNoFile;
    }
    if (!NamesNothingOrARegularFile(path, &lastError)) {
        return kNoFile;
    }
    // A link is followed, so that the file it points to is the one replaced, not the link.
    std::string target = path;
    if (char* resolved = ::realpath(path, nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    const std::size_t slash = target.find_last_of('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    RemoveAbandonedReplacements(folder);
    std::string pattern = folder + std::string(kReplacementPrefix) + std::to_string(::getpid()) +
                          "-" + kUniqueTemplate;
    const int opened = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (opened < 0) {
        lastError = std::strerror(errno);  // a read-only or missing folder, no room for a name
        return kNoFile;
    }
    TakeOverPermissions(opened, target.c_str());
    Close();
    descriptor = opened;
    replacementPath = std::move(pattern);
    replacedPath = std::move(target);
    return descriptor;
}

bool CLocalFile::CommitReplacement() {
    lastError.clear();
    if (descriptor == kNoFile || replacementPath.empty()) {
        return false;
    }
    // The first failure is the one reported; the descriptor is closed even when fsync failed,
    // so that a failed commit does not keep it.
    int error = ::fsync(descriptor) == 0 ? 0 : errno;
    if (CloseQuietly(descriptor) != 0 && error == 0) {
        error = errno;
    }
    descriptor = kNoFile;
    if (error == 0 && ::rename(replacementPath.c_str(), replacedPath.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        lastError = std::strerror(error);
        ::unlink(replacementPath.c_str());
        replacementPath.clear();
        return false;
    }
    replacementPath.clear();
    return true;
}

bool CLocalFile::Close() {
    if (descriptor == kNoFile) {
        return true;
    }
    // Linux releases the descriptor even when close reports an error, and retrying could close a
    // descriptor that has since been handed to someone else; so it is never kept. The result
    // still tells whether the last writes were reported as failing.
    const int result = CloseQuietly(descriptor);
    descriptor = kNoFile;
    if (!replacementPath.empty()) {
        ::unlink(replacementPath.c_str());
        replacementPath.clear();
    }
    return result == 0;
}

FileResult CLocalFile::GetSize() {
    if (descriptor == kNoFile) {
        return {};
    }
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || status.st_size < 0) {
        return {0, std::string(kSizeFailedText)};
    }
    if (status.st_size >= kBeyondTransfer) {
        return {kBeyondTransfer, {}};
    }
    return {static_cast<std::int32_t>(status.st_size), {}};
}

namespace {

// What TransferAll did: the bytes moved as a single call reports them, and the errno of the call
// that ended the transfer early (0 when none failed: the end of the file, or nothing was tried).
struct Transferred {
    std::int32_t moved = 0;
    int error = 0;
};

// Repeats the transfer over interrupted and partial calls until count bytes have moved, the end
// of the file is reached or an error occurs, so the count is what a single call returns for a
// regular file: the bytes moved, or -1 when the first call already failed. A negative count or
// a missing buffer is a failed call (-1) rather than a huge size handed to the kernel.
template <typename Buffer, typename Transfer>
Transferred TransferAll(Buffer* buffer, std::int32_t count, Transfer transfer) {
    if (count < 0 || (buffer == nullptr && count > 0)) {
        return {-1, 0};
    }
    std::int32_t done = 0;
    while (done < count) {
        const ssize_t moved = transfer(
            buffer + done, static_cast<std::size_t>(count) - static_cast<std::size_t>(done));
        if (moved < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {done > 0 ? done : -1, errno};
        }
        if (moved == 0) {
            break;
        }
        done += static_cast<std::int32_t>(moved);
    }
    return {done, 0};
}

// A transfer's result: a failed call or fewer bytes than asked is an unexpected end of the file.
FileResult Reported(std::int32_t asked, std::int32_t moved) {
    if (moved < asked || moved < 0) {
        return {moved, std::string(kShortTransferText)};
    }
    return {moved, {}};
}

// True for the errors a write call gives about the storage the data goes to (a full disk or
// quota, an I/O error, a file too large, a read-only file system...), whose own text tells the
// operator what to mend. A descriptor that takes no writes (EBADF) or a refused argument
// (EINVAL, EFAULT) is the program's mistake, not the disk's, and keeps the general text.
bool IsStorageError(int error) {
    return error != 0 && error != EBADF && error != EINVAL && error != EFAULT;
}

}  // namespace

FileResult CLocalFile::Read(void* buffer, std::int32_t count) {
    if (descriptor == kNoFile) {
        return {0, std::string(kReadFailedText)};
    }
    const int fd = descriptor;
    return Reported(count, TransferAll(static_cast<unsigned char*>(buffer), count,
                                       [fd](unsigned char* at, std::size_t size) {
                                           return ::read(fd, at, size);
                                       })
                               .moved);
}

FileResult CLocalFile::Write(const void* buffer, std::int32_t count) {
    if (descriptor == kNoFile) {
        return {0, std::string(kWriteFailedText)};
    }
    const int fd = descriptor;
    const Transferred written = TransferAll(
        static_cast<const unsigned char*>(buffer), count,
        [fd](const unsigned char* at, std::size_t size) { return ::write(fd, at, size); });
    // A full disk must not read as the end of a file: the system's words say what happened.
    if (IsStorageError(written.error)) {
        return {written.moved, std::strerror(written.error)};
    }
    return Reported(count, written.moved);
}

std::int64_t CLocalFile::Seek(int origin, std::int32_t offset) {
    int whence = SEEK_SET;
    switch (origin) {
        case 0:
            whence = SEEK_SET;
            break;
        case 1:
            whence = SEEK_CUR;
            break;
        case 2:
            whence = SEEK_END;
            break;
        default:
            return -1;
    }
    // With no file held the descriptor is invalid and lseek itself reports -1.
    return static_cast<std::int64_t>(::lseek(descriptor, static_cast<off_t>(offset), whence));
}

std::string_view CLocalFile::FileNameOf(std::string_view path) {
    const std::size_t separator = path.find_last_of("\\/");
    if (separator == std::string_view::npos) {
        return path;
    }
    return path.substr(separator + 1);
}

}  // namespace kalvoran

// The program's one local file: the file sent to an agent or fetched from it, held by a POSIX
// descriptor. Reads, writes and the length come back with the reason the operator is shown when
// they went wrong; whether and how that reason is shown is the caller's business.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace kalvoran {

// What a file operation did and, when it went wrong or did less than asked, why, in the words
// the operator is shown. An empty reason: nothing to report.
struct FileResult {
    // Bytes moved, or the length for GetSize; -1 when a read or write call failed (GetSize gives
    // 0 when the length cannot be had).
    std::int32_t count = 0;
    std::string reason;
};

class CLocalFile {
public:
    // Open modes.
    // ModeRead: an existing file, for sending. ModeWrite: the target of a fetch, created when
    // missing and emptied when present.
    static constexpr int ModeRead = 0;
    static constexpr int ModeWrite = 1;
    // The descriptor value that means "no file held". No opened file receives it (descriptor 0
    // can be handed out on POSIX when standard input is closed, so it cannot serve).
    static constexpr int kNoFile = -1;

    CLocalFile() = default;
    virtual ~CLocalFile();  // does not close: the owner closes first
    CLocalFile(const CLocalFile&) = delete;
    CLocalFile& operator=(const CLocalFile&) = delete;

    // The new descriptor, or kNoFile on failure (mode refused, path not opened, path names
    // something other than a regular file: a directory, a FIFO or a device is never read or
    // written, so nothing can block on it); a failed open leaves the held file as it was. A
    // file still held is closed first.
    int Open(const char* path, int mode);
    // Opens a new, empty file beside path (in the same folder; beside the file a link points
    // to) that receives a fetch in place of the file named path, which stays as it was until
    // CommitReplacement renames the new file over it. The new file takes the earlier file's
    // permission bits (0777) and, where the process may set them, its owner and group; with no
    // earlier file it gets the permissions a new file of ModeWrite would get. It is named
    // .kalvoran-<process id>-XXXXXX; first, the regular files of that name whose process no
    // longer exists (left by a fetch that was killed) are removed from the folder. kNoFile when
    // the folder takes no new file or path names something other than a regular file;
    // LastError then tells why.
    int OpenReplacement(const char* path);
    // Removes from folder the replacements whose process no longer exists (a fetch that was
    // killed cannot remove its own); the one OpenReplacement does first, for a program that
    // reaps such a process itself.
    static void RemoveAbandonedReplacements(const std::string& folder);
    // Writes the replacement to disk, closes it and renames it over its path; afterwards no file
    // is held. False when that fails: the replacement is then removed and the earlier file is
    // left as it was, and LastError tells why.
    bool CommitReplacement();
    // Why the last OpenReplacement or CommitReplacement failed, in the system's words (e.g.
    // "Read-only file system", "Is a directory", "No space left on device" from fsync, "No such
    // file or directory" from rename into a folder that is gone); empty after one that
    // succeeded, before any, and when a commit failed because no replacement was held.
    std::string LastError() const { return lastError; }
    // Lets go of the held file; afterwards no file is held. A replacement not committed is
    // removed, so an unfinished fetch leaves the earlier file as it was. False when closing
    // reported an error (the descriptor is released all the same, as Linux always does). True
    // with no file held.
    bool Close();
    // The length in bytes as the count. With no file held: 0 and no reason. When the length
    // cannot be had: 0 and "GetFileSize failed". A length of kBeyondTransfer bytes or more
    // (2 GiB, more than any transfer carries) is counted as kBeyondTransfer.
    static constexpr std::int32_t kBeyondTransfer = std::numeric_limits<std::int32_t>::max();
    FileResult GetSize();
    // The bytes read or written as the count, as the descriptor operation reports them (-1 when
    // it failed, and for a negative count or a missing buffer); the reason:
    //   no file held (count 0): "file read failed" / "file write failed";
    //   a write call failed about the storage (a full disk or quota, an I/O error, a file too
    //   large...): the system's text for it, e.g. "No space left on device";
    //   otherwise fewer bytes than asked, -1 included: "unexpected EOF";
    //   all of count moved: none.
    FileResult Read(void* buffer, std::int32_t count);
    FileResult Write(const void* buffer, std::int32_t count);
    // origin 0 start, 1 current position, 2 end (origin first, offset second); new position from
    // the start, or -1.
    std::int64_t Seek(int origin, std::int32_t offset);

    bool IsOpen() const { return descriptor != kNoFile; }
    int Descriptor() const { return descriptor; }

    // The part of path after its last backslash or slash; the whole path when it has neither.
    static std::string_view FileNameOf(std::string_view path);

private:
    int descriptor = kNoFile;
    // While a replacement is held: its own path and the path it will replace.
    std::string replacementPath;
    std::string replacedPath;
    // Why the last OpenReplacement or CommitReplacement failed; see LastError.
    std::string lastError;
};

}  // namespace kalvoran

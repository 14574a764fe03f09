// The program's one local file: the file sent to an agent or fetched from it, held by a POSIX
// descriptor, with the exact error boxes the operator sees unless the caller asks for silence.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "files/ErrorBoxSink.h"

namespace kalvoran {

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

    explicit CLocalFile(ErrorBoxSink& errorBoxes);
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
    // CommitReplacement renames the new file over it. The new file gets the permissions a new
    // file of ModeWrite would get. kNoFile when the folder takes no new file or path names
    // something other than a regular file.
    int OpenReplacement(const char* path);
    // Writes the replacement to disk, closes it and renames it over its path; afterwards no file
    // is held. False when that fails: the replacement is then removed and the earlier file is
    // left as it was.
    bool CommitReplacement();
    // Lets go of the held file; afterwards no file is held. A replacement not committed is
    // removed, so an unfinished fetch leaves the earlier file as it was. False when closing
    // reported an error (the descriptor is released all the same, as Linux always does). True
    // with no file held.
    bool Close();
    // Length in bytes; 0 with no file held (no box) or when the length cannot be had
    // ("GetFileSize failed" unless silent), including a length beyond 2147483647 bytes.
    std::int32_t GetSize(bool silent);
    // Bytes read or written, as the descriptor operation reports them (may be -1). With no file:
    // "file read failed" / "file write failed" unless silent, and 0. Fewer bytes than asked:
    // "unexpected EOF" unless silent.
    std::int32_t Read(void* buffer, std::int32_t count, bool silent);
    std::int32_t Write(const void* buffer, std::int32_t count, bool silent);
    // origin 0 start, 1 current position, 2 end (origin first, offset second); new position from
    // the start, or -1.
    std::int64_t Seek(int origin, std::int32_t offset);

    bool IsOpen() const { return descriptor != kNoFile; }
    int Descriptor() const { return descriptor; }

    // The part of path after its last backslash or slash; the whole path when it has neither.
    static std::string_view FileNameOf(std::string_view path);

private:
    ErrorBoxSink& errorBoxes;
    int descriptor = kNoFile;
    // While a replacement is held: its own path and the path it will replace.
    std::string replacementPath;
    std::string replacedPath;
};

}  // namespace kalvoran

#include "files/FileIdentity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace kalvoran {

namespace {

FileIdentity IdentityOf(const struct stat& status) {
    FileIdentity identity;
    identity.device = status.st_dev;
    identity.inode = status.st_ino;
    identity.size = status.st_size;
    identity.modifiedSeconds = status.st_mtim.tv_sec;
    identity.modifiedNanoseconds = status.st_mtim.tv_nsec;
    return identity;
}

}  // namespace

std::optional<FileIdentity> IdentifyFile(const std::string& path, std::string& why) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat status {};
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        why = descriptor < 0 || errno != 0 ? std::strerror(errno) : "not a regular file";
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return std::nullopt;
    }
    FileIdentity identity = IdentityOf(status);
    Sha256 hash;
    std::vector<std::uint8_t> piece(std::size_t{1} << 16);
    for (;;) {
        const ssize_t got = ::read(descriptor, piece.data(), piece.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            why = std::strerror(errno);
            ::close(descriptor);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        hash.Add(std::span(piece).first(static_cast<std::size_t>(got)));
    }
    ::close(descriptor);
    identity.sha256 = hash.Digest();
    return identity;
}

bool SameFileAs(int descriptor, const FileIdentity& identity) {
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return false;
    }
    const FileIdentity now = IdentityOf(status);
    return now.device == identity.device && now.inode == identity.inode &&
           now.size == identity.size && now.modifiedSeconds == identity.modifiedSeconds &&
           now.modifiedNanoseconds == identity.modifiedNanoseconds;
}

std::string HexOf(const Sha256Digest& digest) {
    std::string text;
    text.reserve(digest.size() * 2);
    for (const std::uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

}  // namespace kalvoran

// Which file a run checked: where it lives, its length, its modification time and the SHA-256 of
// its content. A program that sends one file to many agents takes its identity once; each send
// then checks that the file it opened is still that one (SameFileAs) and, as it reads the file,
// that the content is (Sha256), so that no agent of the run gets another image.
#pragma once

#include <nettle/sha2.h>

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kalvoran {

using Sha256Digest = std::array<std::uint8_t, SHA256_DIGEST_SIZE>;

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedSeconds = 0;
    std::int64_t modifiedNanoseconds = 0;
    Sha256Digest sha256{};
};

// The identity of the regular file at path, its content read once. nullopt, with why in the
// system's words, when it cannot be read.
std::optional<FileIdentity> IdentifyFile(const std::string& path, std::string& why);

// True when the open descriptor is the file identified: the same device, inode, length and
// modification time.
bool SameFileAs(int descriptor, const FileIdentity& identity);

// The digest as 64 lower-case hexadecimal digits.
std::string HexOf(const Sha256Digest& digest);

// SHA-256 over data handed in pieces.
class Sha256 {
public:
    Sha256() { sha256_init(&state); }
    void Add(std::span<const std::uint8_t> data) {
        sha256_update(&state, data.size(), data.data());
    }
    // The digest of everything added; the hash starts again afterwards.
    Sha256Digest Digest() {
        Sha256Digest digest{};
        sha256_digest(&state, digest.size(), digest.data());
        return digest;
    }

private:
    sha256_ctx state{};
};

}  // namespace kalvoran

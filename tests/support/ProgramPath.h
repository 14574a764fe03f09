// Where the running test program is, and where the programs it runs were built.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace kalvoran::testing {

// The running program's own path, read from /proc/self/exe; empty when it cannot be read.
inline std::filesystem::path ProgramPath() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : path;
}

// The running program's directory (build/tests for the tests); empty when its path cannot be
// read.
inline std::filesystem::path ProgramDirectory() {
    const std::filesystem::path path = ProgramPath();
    return path.empty() ? path : path.parent_path();
}

// Where the built programs are: KALVORAN_BIN_DIR when it is set, otherwise build/bin, beside the
// build/tests directory the test programs land in.
inline std::filesystem::path BinDir() {
    const char* fromEnvironment = std::getenv("KALVORAN_BIN_DIR");
    if (fromEnvironment != nullptr && *fromEnvironment != '\0') {
        return fromEnvironment;
    }
    return ProgramDirectory().parent_path() / "bin";
}

}  // namespace kalvoran::testing

// tftpd-hpa's in.tftpd for a test, serving one directory in which clients may also create files.
// It negotiates blksize and tsize, not windowsize. It logs to syslog, so its output is mostly
// empty.
#pragma once

#include <unistd.h>

#include <string>

#include "support/TftpServerProcess.h"

namespace kalvoran::testing {

class TftpdProcess final : public TftpServerProcess {
public:
    static constexpr const char* kProgram = "/usr/sbin/in.tftpd";

    // Whether the server program is installed; port 69 also needs root.
    static bool Available() { return ::access(kProgram, X_OK) == 0; }

    TftpdProcess() = default;

    // Starts the server on address:69 serving directory (see TftpServerProcess::Launch).
    bool Start(const std::string& address, const std::string& directory) {
        const std::string user = UserName();
        return !user.empty() &&
               Launch(address, {kProgram, "--foreground", "--address", address + ":69", "--create",
                                "--secure", "--user", user, directory});
    }
};

}  // namespace kalvoran::testing

// Debian's atftpd for a test, serving one directory in which clients may also create files. It
// negotiates blksize, windowsize and tsize. The package conflicts with tftpd-hpa, so
// tools/install-deps.sh unpacks it under /opt/kalvoran-peers instead of installing it. Its log
// (every option it agreed to) goes to its output.
#pragma once

#include <unistd.h>

#include <string>

#include "support/TftpServerProcess.h"

namespace kalvoran::testing {

class AtftpdProcess final : public TftpServerProcess {
public:
    static constexpr const char* kProgram = "/opt/kalvoran-peers/atftpd/usr/sbin/atftpd";

    // Whether the server program is unpacked there; port 69 also needs root.
    static bool Available() { return ::access(kProgram, X_OK) == 0; }

    AtftpdProcess() = default;

    // Starts the server on address:69 serving directory (see TftpServerProcess::Launch).
    bool Start(const std::string& address, const std::string& directory) {
        const std::string user = UserName();
        const std::string group = GroupName();
        return !user.empty() && !group.empty() &&
               Launch(address, {kProgram, "--daemon", "--no-fork", "--bind-address", address,
                                "--port", "69", "--logfile", "-", "--verbose=7", "--user", user,
                                "--group", group, directory});
    }
};

}  // namespace kalvoran::testing

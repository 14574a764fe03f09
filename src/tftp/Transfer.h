// One transfer, described by one value: what to do (the transfer type), with which local file,
// with which agent, and how. The window's drivers build it from the controls when a session
// starts (so the operator's last change counts), a command-line run from its arguments; the
// sessions read nothing else. A second transfer at the same time is a second value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "files/FileIdentity.h"
#include "net/Addressing.h"
#include "tftp/TftpPacket.h"

namespace kalvoran {

// How the blocks travel. Only the plain protocol's values are accepted today: options that
// an agent negotiates (a larger block, several blocks in flight) will be added here.
struct TransferOptions {
    std::int32_t blockSize = static_cast<std::int32_t>(tftp::kBlockSize);
    int windowSize = 1;  // blocks in flight before an acknowledgement is awaited
    // A send of a file checked earlier (one image for a whole fleet): the file opened must be
    // that one, and its content must hash to the same SHA-256 before the last block goes, or the
    // send is refused and the agent never gets a whole file.
    std::optional<FileIdentity> expected;
};

struct Transfer {
    int type = -1;  // TransferType; a value outside 0..6 is refused by the sessions
    // The local file, byte for byte as the operator gave it: sent from, or fetched into.
    std::string localPath;
    net::Octets agent{};
    TransferOptions options;
};

}  // namespace kalvoran

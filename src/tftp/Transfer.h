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

// How the blocks travel. By default the plain protocol: blocks of 512 bytes, one in flight. A
// transfer that asks for a block size or a window size offers them to the agent (with the
// transfer size), and uses what the agent agrees to; an agent that does not agree is served
// with the plain protocol.
struct TransferOptions {
    tftp::AskedOptions asked;
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

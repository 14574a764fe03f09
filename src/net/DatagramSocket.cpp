#include "net/DatagramSocket.h"

#include <algorithm>
#include <vector>

namespace kalvoran::net {

long DatagramSocket::SendBatch(std::span<const Gathered> datagrams, const SocketAddress& to) {
    std::vector<std::uint8_t> packet;
    long taken = 0;
    for (const Gathered& datagram : datagrams) {
        packet.assign(datagram.head.begin(), datagram.head.end());
        packet.insert(packet.end(), datagram.body.begin(), datagram.body.end());
        const long sent = SendTo(packet, to);
        if (sent < 0) {
            return taken > 0 ? taken : sent;
        }
        ++taken;
    }
    return taken > 0 ? taken : kWouldBlock;
}

}  // namespace kalvoran::net

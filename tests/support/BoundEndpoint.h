// A real UDP endpoint for a test peer: opened and bound to a local address.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "net/Addressing.h"
#include "net/UdpEndpoint.h"

namespace kalvoran::testing {

// 127.0.4.last, the loopback range of the socket and channel tests.
inline net::SocketAddress Loopback(std::uint8_t last, std::uint16_t port = 0) {
    return net::SocketAddress{net::ToStorageOrder(net::Octets{127, 0, 4, last}), port};
}

// Opens endpoint and binds it to local (port 0: one the system chooses); afterwards
// endpoint.LocalAddress() is the address bound. A step that fails is a fatal failure of the test
// (check with ASSERT_NO_FATAL_FAILURE when the rest of the test must not run without it).
inline void OpenBound(net::UdpEndpoint& endpoint, const net::SocketAddress& local) {
    ASSERT_TRUE(endpoint.Open());
    ASSERT_TRUE(endpoint.Bind(local));
    ASSERT_NE(endpoint.LocalAddress().port, 0);
}

}  // namespace kalvoran::testing

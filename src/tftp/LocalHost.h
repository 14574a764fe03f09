// The local host's name and address for the dialog's two boxes. The engineer compares the address
// with the agent's network, so it is the address of the interface that reaches the agent (the
// host name often resolves to loopback); the name is looked up only on a computer with no other
// address. What went wrong is returned as the box texts to show; an interactive start shows them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "net/Addressing.h"

namespace kalvoran {

struct LocalHost {
    std::string name;
    std::string address;  // dotted; 0.0.0.0 when none could be had
    std::vector<std::string_view> failures;
};

LocalHost DescribeLocalHost(const net::Octets& agent);

}  // namespace kalvoran

#include "tftp/LocalHost.h"

namespace kalvoran {

LocalHost DescribeLocalHost(const net::Octets& agent) {
    constexpr std::size_t kBufferSize = 256;
    LocalHost host;
    char name[kBufferSize] = {};
    if (net::GetLocalHostName(name, kBufferSize - 1) == nullptr) {
        host.failures.emplace_back("Unable to get the local host name");
    } else {
        host.name = name;
    }
    std::uint32_t address = net::LocalAddressFacing(net::ToStorageOrder(agent));
    if (address == 0 && !host.name.empty()) {
        address = net::LookupIPv4(host.name.c_str());
        if (address == 0) {
            host.failures.emplace_back("gethostbyname failed");
        }
    }
    char text[kBufferSize] = {};
    net::FormatDottedAddress(address, text, sizeof text - 1);
    host.address = text;
    return host;
}

}  // namespace kalvoran

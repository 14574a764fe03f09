#include "net/Addressing.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kalvoran::net {

const char* GetLocalHostName(char* buffer, std::size_t size) {
    if (buffer == nullptr || size == 0) {
        return nullptr;
    }
    if (gethostname(buffer, size) != 0) {
        buffer[0] = '\0';
        return nullptr;
    }
    buffer[size - 1] = '\0';  // gethostname need not terminate a cut name
    return buffer;
}

std::uint32_t LookupIPv4(const char* name) {
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
        return 0;
    }
    std::uint32_t address = 0;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in ipv4{};
            std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
            std::memcpy(&address, &ipv4.sin_addr, sizeof address);  // network order = storage order
            break;
        }
    }
    freeaddrinfo(found);
    return address;
}

bool IsLoopbackAddress(std::uint32_t address) {
    return FromStorageOrder(address)[0] == 127;
}

std::uint32_t SourceAddressTowards(std::uint32_t destination) {
    if (destination == 0) {
        return 0;  // connecting there would name loopback, which says nothing about the agent
    }
    const int socketHandle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socketHandle < 0) {
        return 0;
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(69);
    std::memcpy(&remote.sin_addr, &destination, sizeof destination);
    sockaddr_in local{};
    socklen_t localLength = sizeof local;
    std::uint32_t address = 0;
    // A UDP connect only picks the route and the source address; no datagram leaves.
    if (connect(socketHandle, reinterpret_cast<const sockaddr*>(&remote), sizeof remote) == 0 &&
        getsockname(socketHandle, reinterpret_cast<sockaddr*>(&local), &localLength) == 0 &&
        local.sin_family == AF_INET) {
        std::memcpy(&address, &local.sin_addr, sizeof address);
    }
    close(socketHandle);
    return address;
}

std::uint32_t FirstInterfaceAddress() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return 0;
    }
    std::uint32_t address = 0;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        sockaddr_in ipv4{};
        std::memcpy(&ipv4, entry->ifa_addr, sizeof ipv4);
        std::uint32_t candidate = 0;
        std::memcpy(&candidate, &ipv4.sin_addr, sizeof candidate);
        if (candidate != 0 && !IsLoopbackAddress(candidate)) {
            address = candidate;
            break;
        }
    }
    freeifaddrs(interfaces);
    return address;
}

std::uint32_t LocalAddressFacing(std::uint32_t agent) {
    const std::uint32_t source = SourceAddressTowards(agent);
    if (source != 0 && (!IsLoopbackAddress(source) || IsLoopbackAddress(agent))) {
        return source;
    }
    return FirstInterfaceAddress();
}

char* FormatDottedAddress(std::uint32_t address, char* buffer, std::size_t size) {
    if (buffer == nullptr || size < 16) {
        return nullptr;
    }
    std::memset(buffer, 0, size);
    const Octets octets = FromStorageOrder(address);
    std::snprintf(buffer, size, "%d.%d.%d.%d", octets[0], octets[1], octets[2], octets[3]);
    return buffer;
}

bool ParseDottedAddress(std::string_view text, Octets& octets) {
    octets = {0, 0, 0, 0};
    if (text.empty() || text.size() > 15) {
        return false;
    }
    Octets parsed{};
    std::size_t part = 0;
    int value = 0;
    int digits = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size();
        const char c = end ? '.' : text[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 3) {
                return false;
            }
            value = value * 10 + (c - '0');
            continue;
        }
        if (c != '.' || digits == 0 || value > 255 || part > 3) {
            return false;
        }
        parsed[part++] = static_cast<std::uint8_t>(value);
        value = 0;
        digits = 0;
    }
    if (part != 4) {
        return false;
    }
    octets = parsed;
    return true;
}

std::uint32_t ToStorageOrder(const Octets& octets) {
    std::uint32_t address = 0;
    std::memcpy(&address, octets.data(), sizeof address);
    return address;
}

Octets FromStorageOrder(std::uint32_t address) {
    Octets octets{};
    std::memcpy(octets.data(), &address, sizeof address);
    return octets;
}

}  // namespace kalvoran::net

// The local host's name and addresses, and dotted IPv4 text. POSIX sockets need no start-up or
// end of the socket layer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kalvoran::net {

using Octets = std::array<std::uint8_t, 4>;  // IPv4 address, first octet first

// gethostname into buffer (size bytes, always zero-terminated); nullptr on failure.
const char* GetLocalHostName(char* buffer, std::size_t size);

// First IPv4 address of a host name or dotted text, in storage order (first octet in the
// lowest-addressed byte), or 0 when it does not resolve. Dotted text resolves to that very
// address without a name service.
std::uint32_t LookupIPv4(const char* name);

// True for 127.0.0.0/8 (address in storage order).
bool IsLoopbackAddress(std::uint32_t address);

// The local IPv4 address the system would send from towards destination (both in storage order),
// as a UDP socket connected to it reports it; connecting sends nothing. 0 when destination is 0
// or no route leads to it.
std::uint32_t SourceAddressTowards(std::uint32_t destination);

// The first IPv4 address of an interface that is up and is not loopback, 0 when there is none.
std::uint32_t FirstInterfaceAddress();

// The address under which the agent reaches this computer: the source address towards the
// agent, or, when that tells the engineer nothing (no route, or loopback while the agent is not on
// loopback), the first interface address. 0 when there is neither.
std::uint32_t LocalAddressFacing(std::uint32_t agent);

// "%d.%d.%d.%d" of the address's four bytes in storage order into buffer (zero-filled first);
// nullptr, buffer untouched, when size is below 16.
char* FormatDottedAddress(std::uint32_t address, char* buffer, std::size_t size);

// Strict dotted-quad reading for an address typed on a command line: exactly four decimal
// numbers 0 to 255 (1 to 3 digits, no sign, no blank) separated by three dots, at most 15
// characters. On success fills octets and returns true; otherwise octets become 0.0.0.0, the
// address every later step refuses, and it returns false. A wrapped or shifted address would
// send firmware to a different card.
bool ParseDottedAddress(std::string_view text, Octets& octets);

// The address as a host-order-independent 32-bit value in storage order, and back.
std::uint32_t ToStorageOrder(const Octets& octets);
Octets FromStorageOrder(std::uint32_t address);

}  // namespace kalvoran::net

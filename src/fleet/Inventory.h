// The inventory of a fleet run: the text file that names the agents to upgrade, one a line, read
// into the agents' addresses and labels in file order. Every line that would send firmware to a
// card the operator did not mean (a malformed or repeated address) is an error with its line
// number, and a run does not start while there is one.
//
// The format:
//   10.0.0.5                 an agent
//   10.0.0.6   rack 2, top   an agent with a label (the rest of the line, blanks/tabs trimmed)
//   # a comment              '#' anywhere ends the line's content; blank lines are skipped
// Lines end in LF or CR LF; a UTF-8 byte order mark at the very start is skipped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "net/Addressing.h"

namespace kalvoran::fleet {

// The longest line accepted, without its line end.
inline constexpr std::size_t kMaxInventoryLine = 4096;
// The largest inventory file read.
inline constexpr std::size_t kMaxInventoryBytes = std::size_t{16} * 1024 * 1024;
// Line errors reported before the rest of the text is left unchecked (a binary file given by
// mistake would otherwise give one error a line).
inline constexpr std::size_t kMaxInventoryErrors = 100;

struct InventoryAgent {
    net::Octets octets{};
    std::string address;  // dotted text formatted from the octets, e.g. "10.0.0.5"
    std::string label;    // may be empty
    int line = 0;         // 1-based line of the inventory
};

struct Inventory {
    std::vector<InventoryAgent> agents;  // in file order
    // "inventory:LINE: reason", in line order; empty: valid. A text without a single agent line
    // (and no bad line) gives "inventory: no agents".
    std::vector<std::string> errors;
};

// Reads an inventory's text. An address is a plain dotted quad of 0 to 255
// (net::ParseDottedAddress) other than 0.0.0.0, listed once (the same octets written twice, even
// with different leading zeros, are the same agent). A label holds no control character other
// than tab. After kMaxInventoryErrors line errors one more error says where checking stopped.
Inventory ParseInventory(std::string_view text);

// Reads the inventory file at path; "-" reads standard input to its end. A file that cannot be
// read gives the one error "inventory: PATH: <system reason>"; one over kMaxInventoryBytes gives
// "inventory: PATH: larger than 16 MiB".
Inventory ReadInventory(const std::string& path);

}  // namespace kalvoran::fleet

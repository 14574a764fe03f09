// Test data whose every 512-byte block differs, so that a lost, repeated or swapped block shows
// in what arrives. The same length and seed always give the same bytes; another seed gives
// other bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kalvoran::testing {

inline std::vector<std::uint8_t> PatternBytes(std::size_t length, unsigned seed = 1) {
    std::vector<std::uint8_t> bytes(length);
    // A linear congruential sequence, mod 2^32, that does not repeat within 4 GiB; its top byte
    // is the least regular one.
    std::uint32_t x = seed * 2654435761u + 1u;
    for (std::uint8_t& byte : bytes) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

inline std::string PatternString(std::size_t length, unsigned seed = 1) {
    const std::vector<std::uint8_t> bytes = PatternBytes(length, seed);
    return {bytes.begin(), bytes.end()};
}

}  // namespace kalvoran::testing

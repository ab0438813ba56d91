// Deterministic bytes that look random: fixtures whose every byte differs
// from its neighbours, so that a shifted, dropped or repeated piece shows.
#pragma once

#include <cstddef>
#include <string>

namespace test {

// length bytes from a linear congruential sequence; another seed gives
// other bytes.
inline std::string pattern(size_t length, unsigned seed) {
    std::string bytes(length, '\0');
    unsigned x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return bytes;
}

}  // namespace test

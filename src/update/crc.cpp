#include "update/crc.h"

#include <array>

namespace qm {

namespace {

constexpr uint32_t polynomial = 0xEDB88320;  // reflected

constexpr std::array<uint32_t, 16> make_nibble_table() {
    std::array<uint32_t, 16> table{};
    for (uint32_t i = 0; i < 16; ++i) {
        uint32_t entry = i;
        for (int round = 0; round < 4; ++round) entry = (entry & 1) ? (entry >> 1) ^ polynomial : entry >> 1;
        table[i] = entry;
    }
    return table;
}

constexpr std::array<uint32_t, 16> nibble_table = make_nibble_table();
static_assert(nibble_table[1] == 0x1DB71064 && nibble_table[8] == 0xEDB88320 && nibble_table[15] == 0xBDBDF21C);

}  // namespace

uint32_t crc32_calc(const uint8_t* data, size_t length, uint32_t reg) {
    for (size_t i = 0; i < length; ++i) {
        const uint32_t b = data[i];
        reg = nibble_table[(reg ^ b) & 0xF] ^ (reg >> 4);
        reg = nibble_table[(reg ^ (b >> 4)) & 0xF] ^ (reg >> 4);
    }
    return reg;
}

}  // namespace qm

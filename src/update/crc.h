// CRC-32 of IEEE 802.3 (the one zlib computes), a nibble at a time so the
// table stays at 16 words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

// Advances a running CRC register over length bytes, without the preset and
// the final complement: callers start from 0xFFFFFFFF and complement the
// last value, so one CRC can be taken over several pieces.
[[nodiscard]] uint32_t crc32_calc(const uint8_t* data, size_t length, uint32_t reg);

}  // namespace qm

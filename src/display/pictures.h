// The pictures carried in the program: compressed pictures (2 bits per
// pixel, little-endian header, rows padded to whole bytes) made at build
// time from the artwork in assets/.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

extern const uint8_t ss_recovery[];
extern const size_t ss_recovery_len;
extern const uint8_t ss_erasecheck_600x800[];
extern const size_t ss_erasecheck_600x800_len;
extern const uint8_t ss_erasecheck_824x1200[];
extern const size_t ss_erasecheck_824x1200_len;
extern const uint8_t pattern[];
extern const size_t pattern_len;
extern const uint8_t ss_battery_empty[];
extern const size_t ss_battery_empty_len;
extern const uint8_t monofont[];
extern const size_t monofont_len;
extern const uint8_t sprites[];
extern const size_t sprites_len;

}  // namespace qm

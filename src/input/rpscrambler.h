// The per-device access password that guards the export of the whole
// internal MMC: a fixed part shared by every device and four hexadecimal
// digits derived from the serial number.
#pragma once

#include <cstddef>

namespace qm {

// Writes the password for identifier (the default identifier when null or
// empty) into out: at most size - 1 characters, never more than 9, then a
// NUL. Does nothing when size is 0 or out is null.
void rpscramble_gen(const char* identifier, size_t size, char* out);

// 1 when text (null counts as empty) is exactly this device's password.
[[nodiscard]] int rpscramble_check(const char* text);

// Asks for the password on the console; the result of rpscramble_check.
// A line that does not come within a minute counts as a wrong password.
[[nodiscard]] int check_pass();

}  // namespace qm

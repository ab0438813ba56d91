// A hexadecimal dump writer in the offset / hex / text layout, fed in
// pieces of any size. The caller owns the state record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

struct hexdump_state {
    uint8_t line[16] = {};
    unsigned count = 0;  // bytes held in line
    int fd = -1;         // where the dump goes; -1 when switched off
    size_t offset = 0;   // printed at the start of the next line
};

// Starts a dump at offset on fd (the standard output when fd is negative).
// A null state is ignored. Returns state.
hexdump_state* hexdump_start(hexdump_state* state, size_t offset, int fd = -1);

// Appends bytes; each complete line of 16 is printed at once.
void hexdump_data(hexdump_state* state, const void* bytes, size_t length);

// Prints a partly filled last line, padded so that its text column lines
// up, and switches the dump off.
void hexdump_end(hexdump_state* state);

}  // namespace qm

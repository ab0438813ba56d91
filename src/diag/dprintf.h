// The descriptor printer of the diagnostic dumps.
#pragma once

namespace qm {

// Formats into a 512-byte buffer and, when the formatted length is positive,
// writes it to fd (at most 511 characters). Returns the formatted length.
// Lives in qm:: so it never meets the C library's dprintf.
int dprintf(int fd, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace qm

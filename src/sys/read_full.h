// Reading a whole piece from a descriptor that may deliver less per read.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace sys {

// Reads until count bytes arrived, the file ended or a read failed: the
// count read, or -1 with errno set. Interrupted reads are repeated.
[[nodiscard]] ssize_t read_full(int fd, void* buffer, size_t count);

}  // namespace sys

#pragma once

#include <cstddef>

namespace qm {

// Copies src (inflated when it is gzip data) into dst in chunks of chunk
// bytes (1 MiB when 0), with synchronous writes when sync is set and
// creating dst when create is set; never truncates. Shows the progress on
// the console and the panel. The watchdog guards it: the alarm is armed
// for 30 seconds at the start and again for each chunk, and cancelled at
// the end. 1 copied, 0 failed.
[[nodiscard]] int copy_file(const char* src, const char* dst, size_t chunk, int sync, int create);

}  // namespace qm

// NOR flash partitions (memory-technology devices): size, existence, and
// locking or unlocking a whole partition. Images are written through the
// block device /dev/mtdblock/N between an unlock and a lock of the
// character device /dev/mtd/N. Results are 1 or 0 (mtd_getsize: the size or
// -1); every failure is reported once on the standard error stream.
#pragma once

#include <cstdint>

namespace qm {

// Partition size in bytes from MEMGETINFO, or -1 after ioctl_wrapper's
// diagnosis.
[[nodiscard]] int64_t mtd_getsize(int fd, const char* name);
// 1 when path opens read-only and reports a non-zero size.
[[nodiscard]] int mtd_exists(const char* path);

[[nodiscard]] int flash_unlock(const char* path);
[[nodiscard]] int flash_lock(const char* path);
[[nodiscard]] int flash_unlock_fd(int fd, const char* name);
[[nodiscard]] int flash_lock_fd(int fd, const char* name);

// 1 when fd is not negative; otherwise reports it under name ("??" when
// null) and gives 0.
[[nodiscard]] int check_fd_and_name(int fd, const char* name);

}  // namespace qm

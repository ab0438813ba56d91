// Whether a block device answers a read: the boot checks the internal MMC
// before it goes on, the update the diagnostics partition before it is
// written.
#pragma once

namespace qm {

// The boot failure code shown when the internal MMC cannot be read.
inline constexpr int boot_error_unreadable_device = 200;

// 0 when the first 512 bytes of path can be read, else
// -boot_error_unreadable_device.
[[nodiscard]] int check_block_device(const char* path);
[[nodiscard]] int check_diagsfs_partition();

}  // namespace qm

// Finding and installing the update bundle of the user store.
#pragma once

#include <cstdint>

namespace qm {

// Where an update writes, built by update_os for each bundle and read by the
// install handlers.
struct update_config {
    const char* kernel_dev;
    const char* kernel_mtd;
    const char* rootfs_dev;
    const char* bootloader_dev;
    const char* bootloader_mtd;
    uint32_t image_flags;
};

// Number of entries of dir matching "update*.bin"; 0 when it cannot be read.
int has_multiple_updates(const char* dir);

// 1 installed, 0 nothing installed, -1 failed (result code in *result).
int update_os(int* result, int skip_battery_check);

}  // namespace qm

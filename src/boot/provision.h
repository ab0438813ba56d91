// Provisioning of the internal MMC: the partition map and the operations
// that apply it.
#pragma once

#include <cstdint>

#include "storage/diskutil.h"

namespace qm {

struct partition_row {
    uint8_t boot_flag;
    uint8_t type;
    uint32_t sectors;  // 0: up to the end of the disk
};

// Rows 1 to 4 of the internal MMC, at indexes 0 to 3.
extern const partition_row partdata[4];

int partition_disk(const char* path, const char* label);
int run_mkfs(const char* disk_path);
int erase_dev(const char* path, const char* label);
int nuke_first_cylinder(int fd, const char* name, const disk_info* disk, int number,
                        const uint8_t* mbr);
int erase_userstore_and_varlocal();

}  // namespace qm

// The MBR partition table of a block device: geometry, reading, building,
// writing and re-reading.
#pragma once

#include <cstdint>

namespace qm {

struct disk_info {
    uint32_t heads;
    uint32_t sectors;  // per track
    uint32_t cylinders;
    uint64_t size;  // bytes
};

struct part_info {
    uint8_t boot_flag;
    uint32_t start_chs;  // packed as stored
    uint8_t type;
    uint32_t end_chs;
    uint32_t start_sector;
    uint32_t sector_count;
};

constexpr int mbr_size = 512;

uint64_t device_size_byname(const char* path);
int get_disk_info(int fd, const char* name, disk_info* disk);
int read_mbr(int fd, const char* name, uint8_t* mbr);
int write_mbr(int fd, const char* name, uint8_t* mbr);
int append_partition(uint8_t* mbr, int number, const disk_info* disk, uint8_t boot_flag,
                     uint8_t type, uint64_t size);
void dump_part(const char* name, const uint8_t* mbr, const disk_info* disk);
int reread_partition(int fd, const char* name);

}  // namespace qm

// The MBR partition table of a block device: geometry, reading, building,
// writing and re-reading. All functions return 1 for success and 0 for
// failure unless stated; error lines go to the standard error stream, the
// table dump and the re-read messages to the standard output.
#pragma once

#include <cstdint>

namespace qm {

// Geometry and size of a block device. cylinders counts whole cylinders.
struct disk_info {
    uint32_t heads;
    uint32_t sectors;  // per track
    uint32_t cylinders;
    uint64_t size;  // bytes
};

// One decoded MBR entry. CHS triples stay packed as stored on disk:
// byte 0 | byte 1 << 8 | byte 2 << 16.
struct part_info {
    uint8_t boot_flag;
    uint32_t start_chs;
    uint8_t type;
    uint32_t end_chs;
    uint32_t start_sector;
    uint32_t sector_count;
};

// A partition entry as stored; multi-byte fields little-endian.
struct mbr_entry {
    uint8_t boot_flag;  // 0x80 active
    uint8_t start_chs[3];
    uint8_t type;  // 0: unused slot
    uint8_t end_chs[3];  // of the last sector
    uint8_t start_sector[4];
    uint8_t sector_count[4];
};
static_assert(sizeof(mbr_entry) == 16);

// The first sector of a disk.
struct mbr_sector {
    uint8_t boot_code[440];  // never changed here
    uint8_t disk_id[4];
    uint8_t reserved[2];
    mbr_entry entries[4];
    uint8_t signature[2];  // 0x55 0xAA
};
static_assert(sizeof(mbr_sector) == 512);

constexpr int mbr_size = 512;

// The geometry used where one is optional and none is given.
constexpr disk_info default_geometry = {255, 63, 1023, 0};

// Size in bytes from BLKGETSIZE; 0 after reporting a failure under name
// ("ioctl()" when null).
[[nodiscard]] uint64_t device_size(int fd, const char* name);
// Opens path read-only for device_size; 0 after a perror line when it
// cannot be opened.
[[nodiscard]] uint64_t device_size_byname(const char* path);
// HDIO_GETGEO and BLKGETSIZE. A negative fd or a null record gives 0
// without a message.
[[nodiscard]] int get_disk_info(int fd, const char* name, disk_info* disk);

// Reads sector 0; the signature is not checked, so a blank disk reads as
// four unused entries.
[[nodiscard]] int read_mbr(int fd, const char* name, mbr_sector* mbr);
// Writes sector 0 with the signature, giving a disk identifier of 0 the
// current time first. A table in which two entries with a size overlap, or
// one covers sector 0, is refused with a console line and not written.
[[nodiscard]] int write_mbr(int fd, const char* name, mbr_sector* mbr);
void clear_all_partitions(mbr_sector* mbr);
// Whether write_mbr would refuse the table for overlapping entries.
[[nodiscard]] bool table_overlaps(const mbr_sector& mbr);

// Decodes entry number (1 to 4); a number out of range is reported and
// leaves part zeroed.
[[nodiscard]] int get_part_info(part_info* part, int number, const mbr_sector* mbr);
// Decodes one entry; a null entry zeroes part.
void extract_part_info(part_info* part, const mbr_entry* entry);

// Defines entry number: it starts on the cylinder after every entry below
// it that has a type or a size (the first partition right after the
// reserved raw region), holds size sectors rounded up to a whole cylinder
// (0: up to the last whole cylinder), and is cut at the disk's end, and at
// the 2^32 - 1 sectors an entry can hold, with a warning. A failure leaves
// the entry as it was; type 0 empties the slot.
[[nodiscard]] int append_partition(mbr_sector* mbr, int number, const disk_info* disk, uint8_t boot_flag, uint8_t type,
                     uint64_t size);

// Packed CHS of a sector, or the too-large marker from cylinder 1024 on.
// A null disk means the default geometry.
[[nodiscard]] uint32_t lba_to_chs(uint64_t lba, const disk_info* disk);
// Sector of a packed CHS; -1 for the marker or a sector field of 0.
[[nodiscard]] int64_t chs_to_lba(uint32_t chs, const disk_info* disk);
[[nodiscard]] int is_chs_toolarge(const disk_info* disk, uint32_t chs);
// Rounds up to a whole cylinder; unchanged without a geometry.
[[nodiscard]] uint64_t roundup_lba(uint64_t lba, const disk_info* disk);

[[nodiscard]] uint32_t get_disk_id(const mbr_sector* mbr);
void set_disk_id(mbr_sector* mbr, uint32_t id);

// Prints the geometry and the four entries on the standard output.
void dump_part(const char* name, const mbr_sector* mbr, const disk_info* disk);

// Asks the kernel to re-read the table of the disk name (opened here when
// fd is negative), up to 6 times. A partition name ("...p1") is left alone
// and gives 1.
[[nodiscard]] int reread_partition(int fd, const char* name);

}  // namespace qm

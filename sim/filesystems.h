// What the simulated kernel recognises of the file systems on its block
// devices. Their files live in directories of the device directory; the
// devices carry just enough of each file system's first blocks to tell a
// formatted device from a blank or wiped one, at the right offset.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class Kernel;

// A FAT32 boot sector for a file system of total_sectors that starts
// hidden_sectors into its disk, with the volume label (cut to 11
// characters, padded with blanks).
std::array<uint8_t, 512> fat32_boot_sector(uint64_t total_sectors, uint32_t hidden_sectors, const std::string& label,
                                           unsigned heads, unsigned sectors_per_track);
bool is_fat_boot_sector(const uint8_t* sector);

// The sectors a formatter writes besides the boot sector, in the order it
// writes them, so that the file system checks clean with dosfstools and
// mtools: the information sector and the backups, both FATs (their first
// entries set, the rest free; on a store above 1 GiB only the first MiB
// of each) and the root directory cluster holding the volume label.
struct FatArea {
    uint64_t sector;
    std::vector<uint8_t> bytes;
};
std::vector<FatArea> fat32_areas(const std::array<uint8_t, 512>& boot);
// The volume label of a FAT32 boot sector, blanks removed.
std::string fat32_label(const uint8_t* sector);

// Probes of the mount table: 0 when the device holds the file system, else
// the error number mount(2) gives (ENOENT no such device, EIO unreadable,
// EINVAL another or no file system).
int probe_fat(Kernel& kernel, const std::string& device);
int probe_ext(Kernel& kernel, const std::string& device);

}  // namespace sim

// Mounting the file systems the program works on: the root file system,
// the user store's FAT (through a loop device) and the second MMC card.
// All return 1 for success and 0 for failure; messages go to the standard
// error stream.
#pragma once

#include <cstdint>

#include "storage/diskutil.h"

namespace qm {

// /dev/mmcblk0p1 as ext3 on /mnt-rootfs.
[[nodiscard]] int mount_rootfs();
// The unmounts run under a 30-second alarm; a failed unmount is followed
// by a lazy detach and still gives 0.
[[nodiscard]] int unmount_rootfs();

// /dev/mmcblk1p1 as vfat on /mnt-us.
[[nodiscard]] int mount_mmc();
[[nodiscard]] int unmount_mmc();

// Attaches the FAT inside /dev/mmcblk0p4 to /dev/loop0 and mounts it on
// /mnt-us. A failure leaves the loop device detached.
[[nodiscard]] int mount_dosfs();
// Unmounts /mnt-us and always detaches /dev/loop0.
[[nodiscard]] int unmount_dosfs();

// Attaches disk_path to loop_path at the byte offset of the FAT32
// partition of the MBR of disk_path (fat_entry), after printing that table
// on the standard output. A disk without such an entry whose first sector
// is a FAT boot sector (a host formatted it whole) is attached from byte 0.
[[nodiscard]] int losetup_fat(const char* disk_path, const char* loop_path);
// Attaches disk_path to loop_path at a byte offset below 2^31.
[[nodiscard]] int losetup_at(const char* disk_path, const char* loop_path, uint64_t offset);
// The number of the entry of mbr that holds the FAT32: the first of type
// 0x0b, else the first of type 0x0c (FAT32 addressed by LBA); 0 for none.
[[nodiscard]] int fat_entry(const mbr_sector& mbr);
// Whether sector is the boot sector of a FAT file system: signed, with a
// jump and a parameter block whose sector size, cluster size, reserved
// sectors, FAT count, media byte and sector count are each possible.
[[nodiscard]] bool is_fat_boot_sector(const mbr_sector& sector);
// Detaches whatever is attached to loop_path.
void losetup_clear(const char* loop_path);

}  // namespace qm

// Provisioning of the internal MMC: the partition map and the operations
// that apply it. All return 1 for success and 0 for failure; messages go
// to the standard error stream unless said otherwise.
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

// Writes one cylinder of zeros at the start of partition number (1 to 4)
// of mbr on the open device fd; 1 when the whole cylinder was written.
[[nodiscard]] int nuke_first_cylinder(int fd, const char* name, const disk_info* disk, int number, const mbr_sector* mbr);
// Builds the table of the map on path and writes it only when all four
// rows could be placed; then wipes the start of partitions 1, 2 and 4.
[[nodiscard]] int partition_disk(const char* path, const char* label);
// Replaces the entries of mbr with the four rows of the map on disk; false
// when a row could not be placed (each failure is reported).
[[nodiscard]] bool place_map(const disk_info& disk, mbr_sector* mbr);
// Whether entry number of the new table after lies exactly where it lay in
// the table before, which was read from the disk: the data in it is then
// live, not stale.
[[nodiscard]] bool same_place(const mbr_sector& before, const mbr_sector& after, int number);
// What the start of partition number of mbr, on the open disk fd, holds:
// a user store as laid out here (a signed table of its own with a FAT32
// entry that lies inside the partition); a FAT or an ext2/3/4 file system
// over the whole partition, as a host may format the exported store;
// nothing (a first sector of zeros and no ext superblock behind it: wiped,
// and never formatted since); or something else. A start that cannot be
// read is none of these.
enum class start_kind { unreadable, blank, user_store, whole_fat, whole_ext, other };
[[nodiscard]] start_kind classify_start(int fd, const mbr_sector& mbr, int number);
// Whether partition number of mbr, on the open disk fd, holds a file
// system in its place: for partition 4 a user store as laid out here or a
// file system a host made over the whole partition, for the others an
// ext2/3 superblock of a file system that fits in it. Its data is then
// live.
[[nodiscard]] bool holds_file_system(int fd, const mbr_sector& mbr, int number);
// Says on the console that partition 4 of path, whose start is of kind
// start, is kept as a host formatted it (whole, without a table of its
// own), and whether updates can be read from it; nothing for other kinds.
void note_whole_user_store(start_kind start, const char* path);
// The boot's rebuild of a table Linux shows no root file system in: like
// partition_disk, but a partition whose entry was read at exactly the place
// the map gives it holds live data (Linux may have refused the whole table
// for one odd byte) and is not wiped; nor is one whose file system still
// lies in its place (holds_file_system). A user store whose start is blank
// holds nothing that can be reached and is wiped. *userstore_kept
// says whether partition 4 was kept.
[[nodiscard]] int rebuild_partition_table(const char* path, const char* label, bool* userstore_kept);
// Formats the FAT32 of the user store through /dev/loop0 with
// /bin/mkdosfs, then writes its nested table on disk_path + "p4": the
// table comes last, so a store whose first sector is blank is one whose
// format never finished.
[[nodiscard]] int run_mkfs(const char* disk_path);
// Zero-fills path with progress lines on the standard output. Only the
// whole internal MMC keeps its raw boot regions (bytes 1,024 up to
// g_offset_mmc); a partition is erased from its first byte to its last.
[[nodiscard]] int erase_dev(const char* path, const char* label);
// The factory-reset erase: VarLocal zero-filled, the user store given a
// new table and an empty FAT32. The result of the format.
[[nodiscard]] int erase_userstore_and_varlocal();

}  // namespace qm

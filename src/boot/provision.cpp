#include "boot/provision.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "display/bar.h"
#include "display/eink.h"
#include "display/screens.h"
#include "platform/boardid.h"
#include "storage/gadget.h"
#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/read_full.h"
#include "sys/unique_fd.h"

namespace qm {

const partition_row partdata[4] = {
    {0x80, 0x83, 819200},  // root file system, 400 MiB
    {0x00, 0x83, 49152},   // VarLocal, 24 MiB
    {0x00, 0x83, 16384},   // diagnostics, 8 MiB
    {0x00, 0x0B, 0},       // user store, the rest
};

namespace {

constexpr const char* internal_mmc = "/dev/mmcblk0";
constexpr const char* userstore_device = "/dev/mmcblk0p4";
constexpr const char* userstore_loop = "/dev/loop0";
constexpr size_t erase_chunk = 128 * 1024;
constexpr size_t erase_head = 1024;
constexpr uint64_t mib = 1024 * 1024;

// The nested table of the user store: one FAT32 entry placed by the same
// rule as the first partition of the MMC, over the sector read from its
// start (its boot code and disk identifier stay). Shown, not yet written.
// A FAT boot sector there (a host formatted the store whole) is not kept:
// its parameter block would still lead a host to the old FAT at byte 0.
bool plan_userstore_table(const char* userstore, mbr_sector* mbr, uint64_t* fat_offset) {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(userstore, O_RDWR));
    if (!fd.valid()) {
        report_errno(userstore, errno);
        return false;
    }
    disk_info disk {};
    if (!get_disk_info(fd.get(), userstore, &disk) || !read_mbr(fd.get(), userstore, mbr)) return false;
    if (is_fat_boot_sector(*mbr)) *mbr = mbr_sector {};
    clear_all_partitions(mbr);
    // One entry in an empty table always fits; write_mbr refuses a bad one.
    (void)append_partition(mbr, 1, &disk, 0, 0x0B, 0);
    part_info fat {};
    extract_part_info(&fat, &mbr->entries[0]);
    *fat_offset = static_cast<uint64_t>(fat.start_sector) * 512;
    dump_part(userstore, mbr, &disk);
    return true;
}

// Writes the planned table. It goes last, once the FAT32 is in place: a
// store whose first sector is still blank is one that was never formatted
// to its end, and the boot formats it again.
bool write_userstore_table(const char* userstore, const mbr_sector& planned) {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(userstore, O_RDWR));
    if (!fd.valid()) {
        report_errno(userstore, errno);
        return false;
    }
    mbr_sector mbr = planned;
    err("INFO:Writing out partition table to %s\n", userstore);
    if (!write_mbr(fd.get(), userstore, &mbr)) return false;
    k.sync();
    return true;
}

// A write that fails at the very end of a block device says that it is
// full: Linux answers ENOSPC there instead of writing nothing.
bool is_device_end(int error_number, uint64_t position, uint64_t total) {
    return error_number == ENOSPC && total != 0 && position >= total;
}

}  // namespace

int nuke_first_cylinder(int fd, const char* name, const disk_info* disk, int number, const mbr_sector* mbr) {
    if (name == nullptr || disk == nullptr || mbr == nullptr || fd < 0 || number <= 0 || number > 4) return 0;
    auto& k = sys::kernel();
    part_info part {};
    if (!get_part_info(&part, number, mbr)) {
        err("ERROR:Could not nuke filesystem in partition %d\n", number);
        return 0;
    }
    const auto offset = static_cast<uint64_t>(part.start_sector) * 512;
    if (k.lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        err("ERROR:Could not nuke filesystem in partition %d: %s\n", number, std::strerror(errno));
        return 0;
    }
    const std::vector<char> zeros(static_cast<size_t>(disk->heads) * 512 * disk->sectors, 0);
    const ssize_t written = k.write(fd, zeros.data(), zeros.size());
    if (written < 0) {
        err("ERROR:Could not nuke filesystem in partition %d: %s\n", number, std::strerror(errno));
        return 0;
    }
    err("INFO:Nuked first cylinder(%u bytes) of filesystem in partition %d(+%llu) on %s\n",
        static_cast<unsigned>(written), number, static_cast<unsigned long long>(offset), name);
    return static_cast<size_t>(written) == zeros.size() ? 1 : 0;
}

bool same_place(const mbr_sector& before, const mbr_sector& after, int number) {
    part_info old_part {}, new_part {};
    extract_part_info(&old_part, &before.entries[number - 1]);
    extract_part_info(&new_part, &after.entries[number - 1]);
    return old_part.sector_count != 0 && old_part.start_sector == new_part.start_sector &&
           old_part.sector_count == new_part.sector_count;
}

namespace {

// The first sector of partition number of mbr; false when it has no size
// or cannot be read.
bool read_first_sector(int fd, const mbr_sector& mbr, int number, part_info* part, mbr_sector* sector) {
    extract_part_info(part, &mbr.entries[number - 1]);
    if (part->sector_count == 0) return false;
    return sys::kernel().lseek(fd, static_cast<off_t>(static_cast<uint64_t>(part->start_sector) * 512), SEEK_SET) >=
               0 &&
           sys::read_full(fd, sector, sizeof *sector) == static_cast<ssize_t>(sizeof *sector);
}

// Whether partition number of mbr begins with an ext2/3/4 superblock that
// describes a file system fitting in it: the root file system or VarLocal
// as the reader left them, or a user store a host formatted so. Checked by its magic, its block size and its
// block count, so that stray bytes are not taken for one.
bool holds_ext(int fd, const mbr_sector& mbr, int number) {
    constexpr size_t superblock_at = 1024;
    part_info part {};
    extract_part_info(&part, &mbr.entries[number - 1]);
    if (part.sector_count < 4) return false;
    uint8_t start[2048];
    auto& k = sys::kernel();
    if (k.lseek(fd, static_cast<off_t>(static_cast<uint64_t>(part.start_sector) * 512), SEEK_SET) < 0 ||
        sys::read_full(fd, start, sizeof start) != static_cast<ssize_t>(sizeof start))
        return false;
    const uint8_t* superblock = start + superblock_at;
    const auto word = [superblock](size_t at) {
        return static_cast<uint32_t>(superblock[at] | superblock[at + 1] << 8 | superblock[at + 2] << 16 |
                                     static_cast<uint32_t>(superblock[at + 3]) << 24);
    };
    const bool magic = superblock[56] == 0x53 && superblock[57] == 0xEF;
    const uint32_t blocks = word(4);
    const uint32_t log_block_size = word(24);  // blocks of 1024 << log_block_size bytes
    if (!magic || blocks == 0 || log_block_size > 6) return false;
    return (uint64_t {blocks} << (10 + log_block_size)) <= uint64_t {part.sector_count} * 512;
}

// A user store as laid out here: a signed table whose FAT32 entry (of
// whatever type a host gave it) lies inside the partition of part.
bool is_laid_out_store(const mbr_sector& first, const part_info& part) {
    if (first.signature[0] != 0x55 || first.signature[1] != 0xAA) return false;
    const int entry = fat_entry(first);
    if (entry == 0) return false;
    part_info fat {};
    extract_part_info(&fat, &first.entries[entry - 1]);
    return fat.sector_count != 0 && static_cast<uint64_t>(fat.start_sector) + fat.sector_count <= part.sector_count;
}

// A partition whose entry comes out exactly as it was, or whose file system
// still lies where the new entry puts it, holds live data; a user store left
// blank at its start (wiped, then not formatted) does not, and is formatted
// again. A start that cannot be read is not taken for blank.
bool is_live(int fd, const mbr_sector& before, const mbr_sector& after, int number) {
    if (number != 4) return same_place(before, after, number) || holds_ext(fd, after, number);
    return holds_file_system(fd, after, number) ||
           (same_place(before, after, number) && classify_start(fd, after, number) != start_kind::blank);
}

int write_map(const char* path, const char* label, bool keep_live, bool* userstore_kept) {
    if (userstore_kept != nullptr) *userstore_kept = false;
    err("INFO:Loading original MBR from %s (%s) ... \n", label, path);
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(path, O_RDWR));
    if (!fd.valid()) {
        report_errno(path, errno);
        return 0;
    }
    disk_info disk {};
    mbr_sector mbr {};
    if (!get_disk_info(fd.get(), path, &disk) || !read_mbr(fd.get(), path, &mbr)) return 0;

    const mbr_sector before = mbr;
    if (!place_map(disk, &mbr)) {
        err("EMERGENCY:!!! Partition table create failures !!!\n");
        return 0;
    }
    dump_part(path, &mbr, &disk);
    // Stale file systems must not survive in the new partitions; the
    // diagnostics partition is rewritten whole by the next update. Live data
    // in its place is kept.
    bool keep[5] = {};
    for (const int number : {1, 2, 4}) keep[number] = keep_live && is_live(fd.get(), before, mbr, number);
    // The user store's start is wiped before its entry is written, so a
    // power cut leaves either the old table or an entry over a blank start,
    // which the next boot formats. Partition 4 lies after every other entry.
    if (!keep[4]) (void)nuke_first_cylinder(fd.get(), path, &disk, 4, &mbr);
    err("INFO:Writing out partition table to %s (%s)\n", label, path);
    if (!write_mbr(fd.get(), path, &mbr)) return 0;
    // The table is written: a wipe or reread that fails is reported and
    // undoes nothing.
    for (const int number : {1, 2, 4}) {
        if (keep[number]) {
            err("INFO:Keeping partition %d of %s as it is\n", number, path);
            if (number == 4) note_whole_user_store(classify_start(fd.get(), mbr, 4), path);
            continue;
        }
        if (number != 4) (void)nuke_first_cylinder(fd.get(), path, &disk, number, &mbr);
    }
    if (userstore_kept != nullptr) *userstore_kept = keep[4];
    (void)reread_partition(fd.get(), path);
    return 1;
}

}  // namespace

bool place_map(const disk_info& disk, mbr_sector* mbr) {
    clear_all_partitions(mbr);
    bool placed = true;
    for (int number = 1; number <= 4; ++number) {
        const partition_row& row = partdata[number - 1];
        if (!append_partition(mbr, number, &disk, row.boot_flag, row.type, row.sectors)) placed = false;
    }
    return placed;
}

start_kind classify_start(int fd, const mbr_sector& mbr, int number) {
    part_info part {};
    mbr_sector first {};
    if (!read_first_sector(fd, mbr, number, &part, &first)) return start_kind::unreadable;
    if (is_laid_out_store(first, part)) return start_kind::user_store;
    if (is_fat_boot_sector(first)) return start_kind::whole_fat;
    // mke2fs leaves the first sector of an ext file system all zeros: a
    // blank start is one with no superblock behind it either.
    if (holds_ext(fd, mbr, number)) return start_kind::whole_ext;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&first);
    const bool zeros = std::all_of(bytes, bytes + sizeof first, [](unsigned char byte) { return byte == 0; });
    return zeros ? start_kind::blank : start_kind::other;
}

bool holds_file_system(int fd, const mbr_sector& mbr, int number) {
    if (number != 4) return holds_ext(fd, mbr, number);
    const start_kind start = classify_start(fd, mbr, number);
    return start == start_kind::user_store || start == start_kind::whole_fat || start == start_kind::whole_ext;
}

void note_whole_user_store(start_kind start, const char* path) {
    if (start == start_kind::whole_fat)
        err("INFO:Partition 4 of %s holds a FAT file system without a table of its own; keeping it as it is\n", path);
    if (start == start_kind::whole_ext)
        err("ERROR:Partition 4 of %s holds an ext file system without a table of its own; keeping it as it is, but "
            "no update can be read from it\n",
            path);
}

int partition_disk(const char* path, const char* label) { return write_map(path, label, false, nullptr); }

int rebuild_partition_table(const char* path, const char* label, bool* userstore_kept) {
    return write_map(path, label, true, userstore_kept);
}

int run_mkfs(const char* disk_path) {
    err("INFO:Formatting userstore\n");
    char userstore[4096];
    std::snprintf(userstore, sizeof userstore, "%sp4", disk_path);
    err("INFO:Loading original MBR from %s ... \n", userstore);
    // A table that cannot be planned does not stop the format: an intact
    // inner table still leads to the FAT.
    mbr_sector table {};
    uint64_t fat_offset = 0;
    const bool planned = plan_userstore_table(userstore, &table, &fat_offset);
    if (!(planned ? losetup_at(userstore_device, userstore_loop, fat_offset)
                  : losetup_fat(userstore_device, userstore_loop))) {
        err("ERROR:Unable to create loop %s from %s\n", userstore_loop, userstore_device);
        return 0;
    }
    char command[1024];
    std::snprintf(command, sizeof command, "/bin/mkdosfs -F 32 -n Tavrin -v %s", userstore_loop);
    err("INFO:executing: %s\n", command);
    auto& k = sys::kernel();
    const int status = k.system(command);
    out("\n");
    if (status != 0) {
        err("ERROR:Error executing: %s\n", command);
        err("ERROR:result=%d\n", status);
        losetup_clear(userstore_loop);
        return 0;
    }
    out("Syncing ... \n");
    k.sync();
    losetup_clear(userstore_loop);
    return !planned || write_userstore_table(userstore, table) ? 1 : 0;
}

int erase_dev(const char* path, const char* label) {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(path, O_RDWR | O_SYNC));
    if (!fd.valid()) {
        report_errno(label, errno);
        return 0;
    }
    const uint64_t total = device_size(fd.get(), path);
    const std::vector<char> zeros(erase_chunk, 0);
    uint64_t done = 0;
    uint64_t position = 0;

    const ssize_t head = k.write(fd.get(), zeros.data(), erase_head);
    if (head < 0) {
        report_errno(label, errno);
        clear_bar();
        return 0;
    }
    done += static_cast<uint64_t>(head);
    position += static_cast<uint64_t>(head);
    // Only the whole internal MMC holds the raw boot-loader and kernel
    // regions below g_offset_mmc; on a partition those bytes are data.
    // A seek that fails would let the erase run on over those regions.
    if (std::strcmp(path, internal_mmc) == 0 && g_offset_mmc > static_cast<int64_t>(position)) {
        if (k.lseek(fd.get(), static_cast<off_t>(g_offset_mmc), SEEK_SET) < 0) {
            report_errno(label, errno);
            clear_bar();
            return 0;
        }
        position = static_cast<uint64_t>(g_offset_mmc);
    }

    for (;;) {
        const ssize_t n = k.write(fd.get(), zeros.data(), zeros.size());
        if (n == 0) break;
        if (n < 0) {
            const int error_number = errno;
            if (is_device_end(error_number, position, total)) break;
            report_errno(label, error_number);
            fd.reset();
            clear_bar();
            return 0;
        }
        done += static_cast<uint64_t>(n);
        position += static_cast<uint64_t>(n);
        out("%s: (%u of %u MiB) ", label, static_cast<unsigned>(done / mib), static_cast<unsigned>(total / mib));
        draw_bar(20, static_cast<uint32_t>(done / 1024), static_cast<uint32_t>(total / 1024));
        out("\n");
    }
    clear_bar();
    if (k.fsync(fd.get()) != 0) {
        report_errno(label, errno);
        return 0;
    }
    out("DONE!\n");
    fd.reset();
    report_sync();
    return 1;
}

int erase_userstore_and_varlocal() {
    err("INFO:**************************************\n");
    err("INFO:*** ERASING USERSTORE AND VARLOCAL ***\n");
    err("INFO:**************************************\n");
    (void)eink_screen(screen_please_wait);
    // A VarLocal that cannot be erased (reported) must not keep the user
    // store from being formatted.
    (void)erase_dev("/dev/mmcblk0p2", "VarLocal");
    return run_mkfs(internal_mmc);
}

}  // namespace qm

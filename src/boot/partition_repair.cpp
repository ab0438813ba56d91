#include <fcntl.h>

#include <cerrno>
#include <cstdint>

#include "boot/provision.h"
#include "boot/quillmar.h"
#include "storage/diskutil.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

constexpr const char* mmc = "/dev/mmcblk0";

// An entry that still describes a partition: Linux counts one with a size
// even when its type byte was lost.
bool entry_has_size(const mbr_sector& mbr, int number) {
    part_info part {};
    extract_part_info(&part, &mbr.entries[number - 1]);
    return part.sector_count != 0;
}

// Gives back to partition 4 the end the map gives it when its entry was
// cut short (its start in place, its end before the disk's last whole
// cylinder): the FAT32 in it was made for the whole partition, and the
// owner's files near its end would lie outside the device Linux shows.
// Nothing but the entry is written.
void extend_short_user_store() {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(mmc, O_RDWR));
    disk_info disk {};
    mbr_sector mbr {};
    if (!fd.valid() || !get_disk_info(fd.get(), mmc, &disk) || !read_mbr(fd.get(), mmc, &mbr)) return;
    part_info part {};
    extract_part_info(&part, &mbr.entries[3]);
    const uint64_t end = uint64_t {part.start_sector} + part.sector_count;
    const uint64_t last = uint64_t {disk.cylinders} * disk.heads * disk.sectors;
    if (part.sector_count == 0 || part.sector_count == UINT32_MAX || end >= last) return;
    mbr_sector extended = mbr;
    const partition_row& row = partdata[3];
    if (!append_partition(&extended, 4, &disk, row.boot_flag, part.type, row.sectors)) return;
    part_info whole {};
    extract_part_info(&whole, &extended.entries[3]);
    if (whole.start_sector != part.start_sector || whole.sector_count <= part.sector_count) return;
    err("INFO:Partition 4 of %s ends %llu sectors short of its place, extending it\n", mmc,
        static_cast<unsigned long long>(whole.sector_count - part.sector_count));
    dump_part(mmc, &extended, &disk);
    err("INFO:Writing out partition table to %s\n", mmc);
    if (write_mbr(fd.get(), mmc, &extended)) (void)reread_partition(fd.get(), mmc);
}

// Whether entry 4 of mbr starts where the map puts the user store and
// overlaps no other entry. Only there is a blank start the reader's own
// store whose format was cut short: an entry moved by a stray write may
// start on zeros inside another partition, or inside the store between its
// table and its FAT, and a format there would write over what lies in them.
bool user_store_in_place(const mbr_sector& mbr, const disk_info& disk) {
    mbr_sector map {};
    if (!place_map(disk, &map) || table_overlaps(mbr)) return false;
    part_info placed {}, found {};
    extract_part_info(&placed, &map.entries[3]);
    extract_part_info(&found, &mbr.entries[3]);
    return found.start_sector == placed.start_sector;
}

// Formats a user store whose start is blank: a power cut between the wipe
// of its start and the end of its format left it so, and nothing of the
// owner's can be reached in it; without a file system no update could ever
// come. A store whose start holds anything is left alone (an ext file
// system a host made over the whole store begins with a sector of zeros),
// and so is a blank start that is not where the map puts the store.
void format_blank_user_store() {
    auto& k = sys::kernel();
    start_kind start = start_kind::unreadable;
    bool in_place = false;
    {
        sys::unique_fd fd(k.open(mmc, O_RDONLY));
        disk_info disk {};
        mbr_sector mbr {};
        if (fd.valid() && read_mbr(fd.get(), mmc, &mbr)) start = classify_start(fd.get(), mbr, 4);
        in_place = start == start_kind::blank && get_disk_info(fd.get(), mmc, &disk) && user_store_in_place(mbr, disk);
    }
    note_whole_user_store(start, mmc);
    if (start != start_kind::blank) return;
    if (!in_place) {
        err("EMERGENCY:Partition 4 of %s starts on zeros away from the user store's place; not formatting it\n", mmc);
        return;
    }
    err("INFO:The user store of %s is blank, formatting it\n", mmc);
    k.alarm(30);
    (void)run_mkfs(mmc);  // reports its own failure; the next boot tries again
}

// Re-adds the missing partitions of a table whose partition 1 is intact.
// Partition 3 comes back with partition 2 or 4. A partition whose entry is still
// there keeps it, and its data, and so does one whose file system still lies
// in its place: the user store in particular holds the owner's books, so it
// is destroyed at its start and formatted again only when it was itself
// missing and no user store lies in its place.
// 1 when it formatted the user store.
int repair_partition_table(bool varlocal_missing) {
    auto& k = sys::kernel();
    err("INFO:Modifying partition table for %s\n", mmc);
    k.alarm(30);
    sys::unique_fd fd(k.open(mmc, O_RDWR));
    if (!fd.valid()) {
        report_errno(mmc, errno);
        return 0;
    }
    disk_info disk {};
    if (!get_disk_info(fd.get(), mmc, &disk)) return 0;
    mbr_sector mbr {};
    if (!read_mbr(fd.get(), mmc, &mbr)) {
        err("ERROR:Failed to partition disk %s\n", mmc);
        return 0;
    }

    const mbr_sector before = mbr;
    bool readd[5] = {};
    readd[2] = varlocal_missing;
    readd[4] = !varlocal_missing || !entry_has_size(mbr, 4);
    // Partition 4 is placed after partition 3: without it, it would come
    // back where partition 3 lies, and the user store in its own place
    // would be formatted over.
    readd[3] = (varlocal_missing || readd[4]) && !entry_has_size(mbr, 3);
    bool appended = true;
    for (int number = 2; number <= 4; ++number) {
        if (!readd[number]) {
            if (varlocal_missing) err("INFO:Keeping partition %d of %s as it is\n", number, mmc);
            continue;
        }
        const partition_row& row = partdata[number - 1];
        if (!append_partition(&mbr, number, &disk, row.boot_flag, row.type, row.sectors)) appended = false;
    }
    if (!appended) {
        err("EMERGENCY:!!! Partition table create failures !!!\n");
        return 0;
    }

    dump_part(mmc, &mbr, &disk);
    if (readd[4] && holds_file_system(fd.get(), mbr, 4)) {
        // The entry went, the user store in its place did not. The boot's
        // check of a blank store that follows says what kind it is.
        err("INFO:Keeping partition %d of %s as it is\n", 4, mmc);
        readd[4] = false;
    }
    // The user store's start is wiped before its entry comes back: a power
    // cut then leaves no entry (this repair runs again) or an entry over a
    // blank start (the next boot formats it). Partition 4 lies after every
    // other entry, so its wipe reaches no other partition; a table that will
    // be refused gets no wipe either.
    if (readd[4] && !table_overlaps(mbr)) (void)nuke_first_cylinder(fd.get(), mmc, &disk, 4, &mbr);
    err("INFO:Writing out partition table to %s\n", mmc);
    if (!write_mbr(fd.get(), mmc, &mbr)) return 0;
    // Once the table is written the repair goes to its end: each step below
    // reports its own failure and none of them can undo the table.
    // A VarLocal whose entry was whole (its device could not be opened at
    // this boot), or whose file system still lies where its entry comes
    // back, holds live data.
    if (readd[2] && (same_place(before, mbr, 2) || holds_file_system(fd.get(), mbr, 2))) {
        err("INFO:Keeping partition %d of %s as it is\n", 2, mmc);
        readd[2] = false;
    }
    if (readd[2]) (void)nuke_first_cylinder(fd.get(), mmc, &disk, 2, &mbr);
    (void)reread_partition(fd.get(), mmc);
    if (!readd[4]) return 0;
    fd.reset();
    (void)run_mkfs(mmc);
    return 1;
}

}  // namespace

void check_partition_table() {
    auto& k = sys::kernel();
    k.alarm(15);
    const uint64_t rootfs = device_size_byname("/dev/mmcblk0p1");
    const uint64_t varlocal = device_size_byname("/dev/mmcblk0p2");
    const uint64_t userstore = device_size_byname("/dev/mmcblk0p4");
    if (rootfs == 0) {
        err("INFO:Reinitializing partition table for %s\n", mmc);
        k.alarm(30);
        // Both report their failures; the boot goes on to the prompt, whose
        // check of the MMC stops a device that cannot be used. A user store
        // still in its place holds the owner's books: it is not formatted,
        // and neither is one under a table that could not be rebuilt.
        bool userstore_kept = false;
        if (rebuild_partition_table(mmc, "MMC0", &userstore_kept) && !userstore_kept) (void)run_mkfs(mmc);
        k.alarm(0);
    } else if (varlocal != 0 && userstore != 0) {
        err("INFO:Partition table verified for %s\n", mmc);
        extend_short_user_store();
        format_blank_user_store();
    } else if (!repair_partition_table(varlocal == 0)) {
        format_blank_user_store();
    }
    k.alarm(0);
}

}  // namespace qm

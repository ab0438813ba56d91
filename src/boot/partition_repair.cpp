#include <fcntl.h>

#include <cerrno>

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

// Re-adds the missing partitions of a table whose partition 1 is intact.
// Partition 3 comes back with partition 2. A partition whose entry is still
// there keeps it, and its data: the user store in particular holds the
// owner's books, so it is destroyed at its start and formatted again only
// when it was itself missing and no user store lies in its place.
void repair_partition_table(bool varlocal_missing) {
    auto& k = sys::kernel();
    err("INFO:Modifying partition table for %s\n", mmc);
    k.alarm(30);
    sys::unique_fd fd(k.open(mmc, O_RDWR));
    if (!fd.valid()) {
        report_errno(mmc, errno);
        return;
    }
    disk_info disk {};
    if (!get_disk_info(fd.get(), mmc, &disk)) return;
    mbr_sector mbr {};
    if (!read_mbr(fd.get(), mmc, &mbr)) {
        err("ERROR:Failed to partition disk %s\n", mmc);
        return;
    }

    const mbr_sector before = mbr;
    bool readd[5] = {};
    readd[2] = varlocal_missing;
    readd[3] = varlocal_missing && !entry_has_size(mbr, 3);
    readd[4] = !varlocal_missing || !entry_has_size(mbr, 4);
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
        return;
    }

    dump_part(mmc, &mbr, &disk);
    err("INFO:Writing out partition table to %s\n", mmc);
    if (!write_mbr(fd.get(), mmc, &mbr)) return;
    // Once the table is written the repair goes to its end: each step below
    // reports its own failure and none of them can undo the table.
    // A VarLocal whose entry was whole (its device could not be opened at
    // this boot) comes back in its own place: its data is live.
    if (readd[2] && same_place(before, mbr, 2)) {
        err("INFO:Keeping partition %d of %s as it is\n", 2, mmc);
        readd[2] = false;
    }
    if (readd[2]) (void)nuke_first_cylinder(fd.get(), mmc, &disk, 2, &mbr);
    if (readd[4] && holds_user_store(fd.get(), mbr, 4)) {
        // The entry went, the user store in its place did not.
        err("INFO:Keeping partition %d of %s as it is\n", 4, mmc);
        readd[4] = false;
    }
    if (!readd[4]) {
        (void)reread_partition(fd.get(), mmc);
        return;
    }
    (void)nuke_first_cylinder(fd.get(), mmc, &disk, 4, &mbr);
    (void)reread_partition(fd.get(), mmc);
    fd.reset();
    (void)run_mkfs(mmc);
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
    } else {
        repair_partition_table(varlocal == 0);
    }
    k.alarm(0);
}

}  // namespace qm

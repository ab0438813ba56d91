#include "storage/mount.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "storage/diskutil.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

constexpr const char* rootfs_device = "/dev/mmcblk0p1";
constexpr const char* rootfs_point = "/mnt-rootfs";
constexpr const char* card_device = "/dev/mmcblk1p1";
constexpr const char* userstore_device = "/dev/mmcblk0p4";
constexpr const char* userstore_loop = "/dev/loop0";
constexpr const char* userstore_point = "/mnt-us";
constexpr uint8_t fat32_type = 0x0b;
constexpr uint8_t fat32_lba_type = 0x0c;

int mount_on(const char* device, const char* point, const char* fstype, const char* data) {
    auto& k = sys::kernel();
    // The mount point is usually there already; the mount reports a missing one.
    (void)k.mkdir(point, 0777);
    if (k.mount(device, point, fstype, 0, data) != 0) {
        report_errno(device, errno);
        return 0;
    }
    return 1;
}

int unmount_from(const char* point, const char* trouble, bool detach_loop) {
    auto& k = sys::kernel();
    k.alarm(30);
    const bool unmounted = k.umount2(point, 0) == 0;
    if (!unmounted) {
        report_errno(point, errno);
        // The last resort after the failure reported above; nothing is left to try.
        (void)k.umount2(point, MNT_DETACH);
        err("%s", trouble);
    }
    if (detach_loop) losetup_clear(userstore_loop);
    k.alarm(0);
    return unmounted ? 1 : 0;
}

// Attaches the open disk to loop_path from offset on; the disk descriptor
// stays the caller's.
int attach_loop(int disk_fd, const char* disk_path, const char* loop_path, uint64_t offset) {
    auto& k = sys::kernel();
    sys::unique_fd loop_fd(k.open(loop_path, O_RDWR));
    if (!loop_fd.valid()) {
        report_errno(loop_path, errno);
        return 0;
    }
    // The old loop record carries the offset as a signed 32-bit number: a
    // partition from byte 2^31 on cannot be reached, and a wrapped offset
    // would put the file system somewhere else on the disk.
    if (offset > INT32_MAX) {
        err("ERROR:Failed to set up loop device %s for %s: %s\n", loop_path, disk_path, std::strerror(EOVERFLOW));
        return 0;
    }
    loop_info info {};
    std::snprintf(info.lo_name, sizeof info.lo_name, "%s", disk_path);
    info.lo_offset = static_cast<int>(offset);

    const bool attached =
        k.ioctl(loop_fd.get(), LOOP_SET_FD, reinterpret_cast<void*>(static_cast<intptr_t>(disk_fd))) == 0 &&
        k.ioctl(loop_fd.get(), LOOP_SET_STATUS, &info) == 0;
    if (!attached) {
        const int error_number = errno;
        err("ERROR:Failed to set up loop device %s for %s: %s\n", loop_path, disk_path, std::strerror(error_number));
        (void)k.ioctl(loop_fd.get(), LOOP_CLR_FD, nullptr);  // fails when the loop was never bound
        return 0;
    }
    loop_fd.reset();
    err("INFO:Setup loop device %s for %s + %lu\n", loop_path, disk_path, static_cast<unsigned long>(offset));
    return 1;
}

}  // namespace

int mount_rootfs() { return mount_on(rootfs_device, rootfs_point, "ext3", "errors=remount-ro"); }

int unmount_rootfs() { return unmount_from(rootfs_point, "ERROR:Trouble unmounting ext3 partition\n", false); }

int mount_mmc() { return mount_on(card_device, userstore_point, "vfat", ""); }

int unmount_mmc() { return unmount_from(userstore_point, "ERROR:Trouble unmounting FAT partition\n", false); }

int mount_dosfs() {
    if (!losetup_fat(userstore_device, userstore_loop)) {
        err("ERROR:Unable to access %s:Cannot update OS\n", userstore_device);
        return 0;
    }
    if (!mount_on(userstore_loop, userstore_point, "vfat", "")) {
        losetup_clear(userstore_loop);
        return 0;
    }
    return 1;
}

int unmount_dosfs() { return unmount_from(userstore_point, "ERROR:Trouble unmounting FAT partition\n", true); }

int losetup_fat(const char* disk_path, const char* loop_path) {
    auto& k = sys::kernel();
    sys::unique_fd disk_fd(k.open(disk_path, O_RDWR));
    if (!disk_fd.valid()) {
        report_errno(disk_path, errno);
        return 0;
    }
    disk_info disk {};
    if (!get_disk_info(disk_fd.get(), disk_path, &disk)) {
        // The table can still be read without a geometry; only the dump
        // shows zeros.
        report_errno(disk_path, errno);
        disk = {};
    }
    mbr_sector mbr {};
    if (!read_mbr(disk_fd.get(), disk_path, &mbr)) {
        err("ERROR:Could not load MBR on %s\n", disk_path);
        return 0;
    }
    const int number = fat_entry(mbr);
    if (number == 0 && is_fat_boot_sector(mbr)) {
        // A host may format the exported disk whole, with no table of its own.
        err("INFO:%s holds a FAT file system without a partition table, using it whole\n", disk_path);
        return attach_loop(disk_fd.get(), disk_path, loop_path, 0);
    }
    if (number == 0) {
        err("ERROR:Could not find partition 0x0b on %s\n", disk_path);
        return 0;
    }
    part_info fat {};
    (void)get_part_info(&fat, number, &mbr);  // numbers 1 to 4 always give an entry
    dump_part(disk_path, &mbr, &disk);
    return attach_loop(disk_fd.get(), disk_path, loop_path, static_cast<uint64_t>(fat.start_sector) * 512);
}

int losetup_at(const char* disk_path, const char* loop_path, uint64_t offset) {
    sys::unique_fd disk_fd(sys::kernel().open(disk_path, O_RDWR));
    if (!disk_fd.valid()) {
        report_errno(disk_path, errno);
        return 0;
    }
    return attach_loop(disk_fd.get(), disk_path, loop_path, offset);
}

int fat_entry(const mbr_sector& mbr) {
    // A host that reformats the exported disk may type its partition 0x0c
    // (FAT32 addressed by LBA): the data is FAT32 all the same, and a store
    // it left so would otherwise stay out of reach for good. The reader's
    // own type still comes first.
    for (const uint8_t type : {fat32_type, fat32_lba_type}) {
        for (int number = 1; number <= 4; ++number) {
            part_info part {};
            (void)get_part_info(&part, number, &mbr);  // numbers 1 to 4 always give an entry
            if (part.type == type) return number;
        }
    }
    return 0;
}

bool is_fat_boot_sector(const mbr_sector& sector) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&sector);
    const auto half = [bytes](size_t at) { return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8); };
    const auto word = [half](size_t at) { return half(at) | half(at + 2) << 16; };
    const bool jump = (bytes[0] == 0xEB && bytes[2] == 0x90) || bytes[0] == 0xE9;
    const uint32_t sector_size = half(11);
    const uint32_t per_cluster = bytes[13];
    const uint32_t media = bytes[21];
    const uint32_t total = half(19) != 0 ? half(19) : word(32);
    return sector.signature[0] == 0x55 && sector.signature[1] == 0xAA && jump &&
           (sector_size == 512 || sector_size == 1024 || sector_size == 2048 || sector_size == 4096) &&
           per_cluster != 0 && (per_cluster & (per_cluster - 1)) == 0 && half(14) != 0 && bytes[16] != 0 &&
           (media == 0xF0 || media >= 0xF8) && total != 0;
}

void losetup_clear(const char* loop_path) {
    auto& k = sys::kernel();
    sys::unique_fd loop_fd(k.open(loop_path, O_RDWR));
    if (!loop_fd.valid()) {
        report_errno(loop_path, errno);
        return;
    }
    (void)k.ioctl(loop_fd.get(), LOOP_CLR_FD, nullptr);  // an unbound loop answers ENXIO: already clear
}

}  // namespace qm

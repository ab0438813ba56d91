#include "storage/diskutil.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/boardid.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

constexpr uint64_t sector_bytes = 512;
constexpr int64_t max_entry_sectors = 0xFFFFFFFF;
constexpr unsigned long tcsbrk = 0x5409;  // drain the terminal's output

const char* label_or(const char* name, const char* fallback) { return name != nullptr ? name : fallback; }

uint32_t get_le32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void put_le32(uint8_t* bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_chs(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16;
}

void put_chs(uint8_t* bytes, uint32_t chs) {
    for (int i = 0; i < 3; ++i) bytes[i] = static_cast<uint8_t>(chs >> (8 * i));
}

uint32_t chs_cylinder(uint32_t chs) { return ((chs >> 16) & 0xFF) | ((chs >> 8) & 0xC0) << 2; }
uint32_t chs_head(uint32_t chs) { return chs & 0xFF; }
uint32_t chs_sector(uint32_t chs) { return (chs >> 8) & 0x3F; }

uint32_t toolarge_marker(const disk_info* disk) {
    if (disk == nullptr) return 0xFFFFFE;
    return ((disk->sectors & 0x3F) << 8) | 0xC000 | 0xFF0000 | ((disk->heads - 1) & 0xFF);
}

uint64_t cylinder_sectors(const disk_info& disk) { return static_cast<uint64_t>(disk.heads) * disk.sectors; }

// The console shows everything written so far before the kernel gets busy
// with the disk.
void flush_console() {
    auto& k = sys::kernel();
    k.sync();
    (void)k.ioctl(1, tcsbrk, reinterpret_cast<void*>(1));  // a console that cannot drain just prints later
}

// BLKGETSIZE counts sectors in an unsigned long, which on the reader's
// 32-bit kernel ends at 2 TiB: a larger device answers EFBIG there and
// tells its size through BLKGETSIZE64 instead.
bool size_in_sectors(int fd, uint64_t& sectors) {
    auto& k = sys::kernel();
    unsigned long count = 0;
    if (k.ioctl(fd, BLKGETSIZE, &count) == 0) {
        sectors = count;
        return true;
    }
    if (errno != EFBIG) return false;
    uint64_t bytes = 0;
    if (k.ioctl(fd, BLKGETSIZE64, &bytes) != 0) return false;
    sectors = bytes / sector_bytes;
    return true;
}

// An entry the kernel counts as a partition.
bool is_used(const part_info& part) { return part.type != 0 || part.sector_count != 0; }

// Two entries with a size that share a sector, or one that covers the
// table's own sector: a write to one would destroy the other. Their numbers
// go to first and second (0 for the table itself).
bool find_overlap(const mbr_sector& mbr, int& first, int& second) {
    part_info parts[4] {};
    for (int i = 0; i < 4; ++i) extract_part_info(&parts[i], &mbr.entries[i]);
    for (int i = 0; i < 4; ++i) {
        if (parts[i].sector_count == 0) continue;
        const uint64_t start = parts[i].start_sector;
        const uint64_t end = start + parts[i].sector_count;
        if (start == 0) {
            first = i + 1;
            second = 0;
            return true;
        }
        for (int j = i + 1; j < 4; ++j) {
            if (parts[j].sector_count == 0) continue;
            const uint64_t other_start = parts[j].start_sector;
            const uint64_t other_end = other_start + parts[j].sector_count;
            if (start < other_end && other_start < end) {
                first = i + 1;
                second = j + 1;
                return true;
            }
        }
    }
    return false;
}

bool is_partition_name(const char* name) {
    const size_t length = std::strlen(name);
    return length >= 2 && name[length - 2] == 'p' && name[length - 1] >= '0' && name[length - 1] <= '9';
}

void dump_chs(uint32_t chs, const disk_info* disk, const char* end) {
    if (is_chs_toolarge(disk, chs)) {
        out("<large>%s", end);
        return;
    }
    out("%u/%u/%u%s", chs_cylinder(chs), chs_head(chs), chs_sector(chs), end);
}

void dump_chs_lba(uint32_t chs, const disk_info* disk) {
    if (is_chs_toolarge(disk, chs)) {
        out(" %-10s", "<large>");
        return;
    }
    out(" %10llu", static_cast<unsigned long long>(chs_to_lba(chs, disk)));
}

}  // namespace

uint64_t device_size(int fd, const char* name) {
    uint64_t sectors = 0;
    if (!size_in_sectors(fd, sectors)) {
        report_errno(label_or(name, "ioctl()"), errno);
        return 0;
    }
    return sectors * sector_bytes;
}

uint64_t device_size_byname(const char* path) {
    sys::unique_fd fd(sys::kernel().open(path, O_RDONLY));
    if (!fd.valid()) {
        report_perror(path, errno);
        return 0;
    }
    return device_size(fd.get(), path);
}

int get_disk_info(int fd, const char* name, disk_info* disk) {
    if (fd < 0 || disk == nullptr) return 0;
    auto& k = sys::kernel();
    hd_geometry geometry {};
    if (k.ioctl(fd, HDIO_GETGEO, &geometry) != 0) {
        report_errno(label_or(name, "ioctl()"), errno);
        return 0;
    }
    uint64_t sectors = 0;
    if (!size_in_sectors(fd, sectors)) {
        report_errno(label_or(name, "ioctl()"), errno);
        return 0;
    }
    disk->size = sectors * sector_bytes;
    disk->heads = geometry.heads;
    disk->sectors = geometry.sectors;
    if (disk->heads != 0 && disk->sectors != 0)
        disk->cylinders = static_cast<uint32_t>(disk->size / (cylinder_sectors(*disk) * sector_bytes));
    else
        disk->cylinders = geometry.cylinders;
    return 1;
}

int read_mbr(int fd, const char* name, mbr_sector* mbr) {
    auto& k = sys::kernel();
    if (k.lseek(fd, 0, SEEK_SET) != 0) {
        report_errno(label_or(name, "read_mbr()"), errno);
        return 0;
    }
    const ssize_t got = k.read(fd, mbr, sizeof *mbr);
    if (got != static_cast<ssize_t>(sizeof *mbr)) {
        // A short read sets no error number of its own.
        report_errno(label_or(name, "read_mbr()"), got < 0 ? errno : EIO);
        return 0;
    }
    return 1;
}

int write_mbr(int fd, const char* name, mbr_sector* mbr) {
    auto& k = sys::kernel();
    int first = 0;
    int second = 0;
    if (find_overlap(*mbr, first, second)) {
        if (second == 0)
            err("ERROR:Partition %d covers the partition table itself: not writing the table to %s\n", first,
                label_or(name, "disk"));
        else
            err("ERROR:Partitions %d and %d overlap: not writing the table to %s\n", first, second,
                label_or(name, "disk"));
        return 0;
    }
    if (k.lseek(fd, 0, SEEK_SET) != 0) {
        report_errno(label_or(name, "write_mbr()"), errno);
        return 0;
    }
    if (get_disk_id(mbr) == 0) set_disk_id(mbr, static_cast<uint32_t>(k.time(nullptr)));
    mbr->signature[0] = 0x55;
    mbr->signature[1] = 0xAA;
    const ssize_t put = k.write(fd, mbr, sizeof *mbr);
    if (put != static_cast<ssize_t>(sizeof *mbr)) {
        report_errno(label_or(name, "write_mbr()"), put < 0 ? errno : EIO);
        return 0;
    }
    err("INFO:Wrote MBR to %s\n", label_or(name, "disk"));
    return 1;
}

bool table_overlaps(const mbr_sector& mbr) {
    int first = 0;
    int second = 0;
    return find_overlap(mbr, first, second);
}

void clear_all_partitions(mbr_sector* mbr) { std::memset(mbr->entries, 0, sizeof mbr->entries); }

void extract_part_info(part_info* part, const mbr_entry* entry) {
    if (part == nullptr) return;
    if (entry == nullptr) {
        *part = {};
        return;
    }
    part->boot_flag = entry->boot_flag;
    part->start_chs = get_chs(entry->start_chs);
    part->type = entry->type;
    part->end_chs = get_chs(entry->end_chs);
    part->start_sector = get_le32(entry->start_sector);
    part->sector_count = get_le32(entry->sector_count);
}

int get_part_info(part_info* part, int number, const mbr_sector* mbr) {
    if (part == nullptr) return 0;
    if (number < 1 || number > 4) {
        err("ERROR:Invalid partition number %d\n", number);
        *part = {};
        return 0;
    }
    if (mbr == nullptr) {
        *part = {};
        return 0;
    }
    extract_part_info(part, &mbr->entries[number - 1]);
    return 1;
}

uint32_t lba_to_chs(uint64_t lba, const disk_info* disk) {
    const disk_info& geometry = disk != nullptr ? *disk : default_geometry;
    const uint64_t per_cylinder = cylinder_sectors(geometry);
    if (per_cylinder == 0) return toolarge_marker(disk);
    const uint64_t cylinder = lba / per_cylinder;
    if (cylinder >= 1024) return toolarge_marker(disk);
    const auto head = static_cast<uint32_t>((lba / geometry.sectors) % geometry.heads);
    const auto sector = static_cast<uint32_t>(lba % geometry.sectors + 1);
    const auto c = static_cast<uint32_t>(cylinder);
    return head | ((sector & 0x3F) | ((c >> 2) & 0xC0)) << 8 | (c & 0xFF) << 16;
}

int64_t chs_to_lba(uint32_t chs, const disk_info* disk) {
    const disk_info& geometry = disk != nullptr ? *disk : default_geometry;
    if (is_chs_toolarge(disk, chs)) return -1;
    if (chs_sector(chs) == 0) {
        err("ERROR:parition entry has CHS sector of 0\n");
        return -1;
    }
    return (static_cast<int64_t>(chs_cylinder(chs)) * geometry.heads + chs_head(chs)) * geometry.sectors +
           chs_sector(chs) - 1;
}

int is_chs_toolarge(const disk_info* disk, uint32_t chs) { return chs == toolarge_marker(disk) ? 1 : 0; }

uint64_t roundup_lba(uint64_t lba, const disk_info* disk) {
    if (disk == nullptr) return lba;
    const uint64_t per_cylinder = cylinder_sectors(*disk);
    if (per_cylinder == 0) return lba;
    return (lba + per_cylinder - 1) / per_cylinder * per_cylinder;
}

uint32_t get_disk_id(const mbr_sector* mbr) { return get_le32(mbr->disk_id); }
void set_disk_id(mbr_sector* mbr, uint32_t id) { put_le32(mbr->disk_id, id); }

int append_partition(mbr_sector* mbr, int number, const disk_info* disk, uint8_t boot_flag, uint8_t type,
                     uint64_t size) {
    if (number < 1 || number > 4) {
        err("ERROR:Partition number not between 1 and 4.\n");
        return 0;
    }
    if (mbr == nullptr) {
        err("ERROR:No MBR data to modify.\n");
        return 0;
    }
    if (disk == nullptr) {
        err("ERROR:No disk geometry found.\n");
        return 0;
    }

    // Linux takes every entry with a size for a partition, whatever its type
    // byte says, so the new one starts after all of them below it.
    uint64_t candidate = 0;
    bool after_another = false;
    for (int below = number - 1; below >= 1; --below) {
        part_info previous {};
        extract_part_info(&previous, &mbr->entries[below - 1]);
        if (!is_used(previous)) continue;
        after_another = true;
        candidate = std::max(candidate,
                             roundup_lba(static_cast<uint64_t>(previous.start_sector) + previous.sector_count, disk));
    }
    if (after_another)
        err("INFO:partition %u, start sector is %llu\n", static_cast<unsigned>(number),
            static_cast<unsigned long long>(candidate));
    if (disk->size == 0) {
        err("ERROR:unable to define partition %u\n", static_cast<unsigned>(number));
        return 0;
    }
    mbr_entry& entry = mbr->entries[number - 1];
    if (type == 0) {
        entry = {};
        return 1;
    }

    int64_t start = 0;
    if (candidate != 0) {
        start = static_cast<int64_t>(roundup_lba(candidate, disk));
    } else {
        // The first partition begins right after the reserved raw region,
        // not on a cylinder boundary.
        const int64_t reserved = g_offset_mmc / static_cast<int64_t>(sector_bytes);
        const auto per_track = static_cast<int64_t>(disk->sectors);
        start = per_track != 0 ? (reserved * per_track + 1) / per_track : reserved;
    }
    int64_t end = 0;
    if (size != 0) {
        end = static_cast<int64_t>(roundup_lba(static_cast<uint64_t>(start) + size, disk));
    } else {
        end = static_cast<int64_t>(static_cast<uint64_t>(disk->cylinders) * cylinder_sectors(*disk));
        err("INFO:maximizing partition %llu sectors\n", static_cast<unsigned long long>(end - start));
    }
    const auto disk_sectors = static_cast<int64_t>(disk->size / sector_bytes);
    if (end > disk_sectors) {
        err("WARNING:requested parition size exceeds disk, truncating last sector of partition to %llu.\n",
            static_cast<unsigned long long>(disk_sectors));
        end = disk_sectors;
    }
    if (start > end) {
        err("WARNING:start_sector exceeds end_sector. start:%llu end:%llu\n", static_cast<unsigned long long>(start),
            static_cast<unsigned long long>(end));
        err("ERROR:unable to define partition %u\n", static_cast<unsigned>(number));
        return 0;
    }
    int64_t count = end - start;
    if (count == 0) {
        err("ERROR:invalid zero length partition\n");
        return 0;
    }
    // An entry holds its start and size in 32 bits each: a larger disk keeps
    // its rest unused rather than get a size cut to its low bits.
    if (start > max_entry_sectors) {
        err("ERROR:partition %u would start at sector %llu, beyond what an MBR entry can hold\n",
            static_cast<unsigned>(number), static_cast<unsigned long long>(start));
        err("ERROR:unable to define partition %u\n", static_cast<unsigned>(number));
        return 0;
    }
    if (count > max_entry_sectors) {
        err("WARNING:partition %u holds only %llu of %llu sectors, the most an MBR entry can hold\n",
            static_cast<unsigned>(number), static_cast<unsigned long long>(max_entry_sectors),
            static_cast<unsigned long long>(count));
        count = max_entry_sectors;
        end = start + count;
    }

    entry.boot_flag = boot_flag;
    put_chs(entry.start_chs, lba_to_chs(static_cast<uint64_t>(start), disk));
    entry.type = type;
    put_chs(entry.end_chs, lba_to_chs(static_cast<uint64_t>(end - 1), disk));
    put_le32(entry.start_sector, static_cast<uint32_t>(start));
    put_le32(entry.sector_count, static_cast<uint32_t>(count));
    return 1;
}

void dump_part(const char* name, const mbr_sector* mbr, const disk_info* disk) {
    const disk_info& geometry = disk != nullptr ? *disk : default_geometry;
    out("%s:\n", label_or(name, "disk"));
    out("CHS=%u/%u/%u size=%llu bytes\n", geometry.cylinders, geometry.heads, geometry.sectors,
        static_cast<unsigned long long>(geometry.size));
    out("flag type      first       last  lba first   lba size\n");
    for (unsigned number = 1; number <= 4; ++number) {
        out("Partition p%u:\n", number);
        part_info part {};
        extract_part_info(&part, &mbr->entries[number - 1]);
        if (part.type == 0) continue;
        out("0x%02hhx 0x%02hhx", part.boot_flag, part.type);
        dump_chs_lba(part.start_chs, disk);
        dump_chs_lba(part.end_chs, disk);
        out(" %10u %10u\n", part.start_sector, part.sector_count);
        out("    CHS: ");
        dump_chs(part.start_chs, disk, "");
        out(" - ");
        dump_chs(part.end_chs, disk, "\n");
    }
}

int reread_partition(int fd, const char* name) {
    if (name != nullptr && is_partition_name(name)) return 1;
    out("Rereading partition information ... \n");
    auto& k = sys::kernel();
    sys::unique_fd opened;
    if (fd < 0) {
        opened = sys::unique_fd(name != nullptr ? k.open(name, O_RDWR) : -1);
        if (!opened.valid()) {
            report_errno(label_or(name, "reread_partition()"), name != nullptr ? errno : EINVAL);
            return 0;
        }
        fd = opened.get();
    }
    flush_console();
    int last_error = 0;
    for (int attempt = 0; attempt < 6; ++attempt) {
        if (k.ioctl(fd, BLKRRPART, nullptr) == 0) return 1;
        last_error = errno;
        flush_console();
    }
    out("The kernel was unable to re-read the partition table on %s (%s). This means Linux won't know anything "
        "about the modifications you made until you reboot. You should reboot to fixed this.\n",
        label_or(name, "disk"), std::strerror(last_error));
    return 0;
}

}  // namespace qm

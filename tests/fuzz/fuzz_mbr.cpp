// MBR decoding, the geometry arithmetic and dump_part on arbitrary sectors
// and geometries: 512 bytes of sector, then heads, sectors per track,
// cylinders and size (missing bytes read as zero); the lowest bit of the
// byte after the heads chooses the board family's reserved region.
//
// Two properties hold besides the absence of crashes: a partition that
// append_partition places never shares a sector with an entry below it nor
// runs past the disk, and write_mbr writes a table exactly when none of
// its entries overlap (nor covers sector 0), leaving the disk as it was
// otherwise.
#include <fcntl.h>

#include <cstring>

#include "fuzz_device.h"
#include "platform/boardid.h"
#include "storage/diskutil.h"
#include "support/image_bytes.h"
#include "sys/kernel.h"

namespace {

struct Extent {
    uint64_t start, count;
};

Extent extent_of(const qm::mbr_entry& entry) {
    uint32_t start = 0;
    uint32_t count = 0;
    std::memcpy(&start, entry.start_sector, 4);
    std::memcpy(&count, entry.sector_count, 4);
    return {start, count};
}

bool overlapping(const qm::mbr_sector& mbr) {
    for (int i = 0; i < 4; ++i) {
        const Extent a = extent_of(mbr.entries[i]);
        if (a.count == 0) continue;
        if (a.start == 0) return true;
        for (int j = i + 1; j < 4; ++j) {
            const Extent b = extent_of(mbr.entries[j]);
            if (b.count != 0 && a.start < b.start + b.count && b.start < a.start + a.count) return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::next_input();
    uint8_t bytes[512 + 20] = {};
    std::memcpy(bytes, data, std::min(size, sizeof bytes));
    qm::mbr_sector mbr;
    std::memcpy(&mbr, bytes, sizeof mbr);
    // Heads and sectors per track come from the kernel's geometry record,
    // one byte each; the cylinders are counted from the size.
    qm::disk_info disk;
    disk.heads = bytes[512];
    disk.sectors = bytes[516];
    std::memcpy(&disk.cylinders, bytes + 520, 4);
    std::memcpy(&disk.size, bytes + 524, 8);
    qm::g_offset_mmc = (bytes[513] & 1) != 0 ? 0x3C1000 : 0x400;

    // The arithmetic must not crash or overflow on any table; what it gives
    // is checked by the unit tests, so the results are dropped here.
    for (int number = 0; number <= 5; ++number) {
        qm::part_info part;
        (void)qm::get_part_info(&part, number, &mbr);
        (void)qm::chs_to_lba(part.start_chs, &disk);
        (void)qm::chs_to_lba(part.end_chs, &disk);
        (void)qm::chs_to_lba(part.start_chs, nullptr);
        (void)qm::is_chs_toolarge(&disk, part.end_chs);
        (void)qm::lba_to_chs(part.start_sector, &disk);
        (void)qm::lba_to_chs(uint64_t{part.start_sector} + part.sector_count, nullptr);
        (void)qm::roundup_lba(part.sector_count, &disk);
    }
    (void)qm::get_disk_id(&mbr);
    qm::dump_part("fuzz", &mbr, &disk);
    qm::dump_part("fuzz", &mbr, nullptr);

    // Building on top of the decoded table: slot and type from the sector's
    // reserved bytes, the size from its disk identifier.
    qm::mbr_sector changed = mbr;
    const int number = 1 + mbr.reserved[0] % 4;
    uint32_t sectors = 0;
    std::memcpy(&sectors, mbr.disk_id, 4);
    if (qm::append_partition(&changed, number, &disk, 0, mbr.reserved[1], sectors) && mbr.reserved[1] != 0) {
        const Extent placed = extent_of(changed.entries[number - 1]);
        if (placed.count == 0 || placed.start == 0 || placed.start + placed.count > disk.size / 512)
            __builtin_trap();
        for (int below = 1; below < number; ++below) {
            const Extent other = extent_of(changed.entries[below - 1]);
            if (other.count != 0 && placed.start < other.start + other.count) __builtin_trap();
        }
    }
    qm::dump_part("fuzz", &changed, &disk);

    // Made once and then overwritten in place: truncating a file costs more
    // than all the rest of an input.
    const std::string before(1024, '\xEE');
    static const std::string disk_path =
        fuzz::put_file("fuzz-disk.img", reinterpret_cast<const uint8_t*>(before.data()), before.size());
    static const std::string disk_host = fuzz::device().host(disk_path.substr(1));
    if (!test::write_bytes(disk_host, 0, before)) __builtin_trap();
    auto& k = sys::kernel();
    const int fd = k.open(disk_path.c_str(), O_RDWR, 0);
    if (fd < 0) __builtin_trap();
    const int written = qm::write_mbr(fd, "fuzz", &changed);
    k.close(fd);
    const std::string after = test::read_bytes(disk_host, 0, before.size());
    if (written != (overlapping(changed) ? 0 : 1)) __builtin_trap();
    if (!written && after != before) __builtin_trap();
    if (written && std::memcmp(after.data() + 446, changed.entries, sizeof changed.entries) != 0) __builtin_trap();
    return 0;
}

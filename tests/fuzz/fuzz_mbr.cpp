// MBR decoding, the geometry arithmetic and dump_part on arbitrary sectors
// and geometries: 512 bytes of sector, then heads, sectors per track,
// cylinders and size (missing bytes read as zero).
#include <cstring>

#include "fuzz_device.h"
#include "storage/diskutil.h"

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

    for (int number = 0; number <= 5; ++number) {
        qm::part_info part;
        qm::get_part_info(&part, number, &mbr);
        qm::chs_to_lba(part.start_chs, &disk);
        qm::chs_to_lba(part.end_chs, &disk);
        qm::chs_to_lba(part.start_chs, nullptr);
        qm::is_chs_toolarge(&disk, part.end_chs);
        qm::lba_to_chs(part.start_sector, &disk);
        qm::lba_to_chs(uint64_t{part.start_sector} + part.sector_count, nullptr);
        qm::roundup_lba(part.sector_count, &disk);
    }
    qm::get_disk_id(&mbr);
    qm::dump_part("fuzz", &mbr, &disk);
    qm::dump_part("fuzz", &mbr, nullptr);

    // Building on top of the decoded table: slot and type from the sector's
    // reserved bytes, the size from its disk identifier.
    qm::mbr_sector changed = mbr;
    const int number = 1 + mbr.reserved[0] % 4;
    uint32_t sectors = 0;
    std::memcpy(&sectors, mbr.disk_id, 4);
    qm::append_partition(&changed, number, &disk, 0, mbr.reserved[1], sectors);
    qm::dump_part("fuzz", &changed, &disk);
    return 0;
}

// The MBR layer: CHS arithmetic, placing partitions, reading and writing
// sector 0, the table dump, and the kernel's re-read on the simulated MMC.
#include "storage/diskutil.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "boot/process_state.h"

#include <cstring>
#include <vector>

#include "platform/boardid.h"
#include "support/image_bytes.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

constexpr int64_t mmc_boot_offset = 0x3C1000;

qm::disk_info geometry(uint32_t heads, uint32_t sectors, uint64_t disk_sectors) {
    const uint64_t per_cylinder = uint64_t{heads} * sectors;
    return {heads, sectors, static_cast<uint32_t>(per_cylinder ? disk_sectors / per_cylinder : 0), disk_sectors * 512};
}

void put_entry(qm::mbr_sector& mbr, int number, uint8_t flag, uint8_t type, uint32_t start, uint32_t count,
               const qm::disk_info& disk) {
    qm::mbr_entry& e = mbr.entries[number - 1];
    e.boot_flag = flag;
    e.type = type;
    const uint32_t first = qm::lba_to_chs(start, &disk);
    const uint32_t last = qm::lba_to_chs(uint64_t{start} + count - 1, &disk);
    for (int i = 0; i < 3; ++i) {
        e.start_chs[i] = static_cast<uint8_t>(first >> (8 * i));
        e.end_chs[i] = static_cast<uint8_t>(last >> (8 * i));
    }
    for (int i = 0; i < 4; ++i) {
        e.start_sector[i] = static_cast<uint8_t>(start >> (8 * i));
        e.sector_count[i] = static_cast<uint8_t>(count >> (8 * i));
    }
}

class MbrTest : public testing::Test {
protected:
    void SetUp() override { qm::g_offset_mmc = mmc_boot_offset; }
    void TearDown() override { qm::process_state_reset(); }
    test::SimDevice device;
};

struct ChsCase {
    const char* name;
    uint64_t lba;
    uint32_t heads, sectors;
    bool no_geometry;
    uint32_t packed;
    int64_t back;  // chs_to_lba of the packed value
};

class ChsConversion : public MbrTest, public testing::WithParamInterface<ChsCase> {};

TEST_P(ChsConversion, PacksAsStoredAndReadsBack) {
    const ChsCase& c = GetParam();
    const qm::disk_info disk = geometry(c.heads, c.sectors, 1ULL << 31);
    const qm::disk_info* given = c.no_geometry ? nullptr : &disk;
    EXPECT_EQ(qm::lba_to_chs(c.lba, given), c.packed);
    EXPECT_EQ(qm::chs_to_lba(c.packed, given), c.back);
    EXPECT_EQ(qm::is_chs_toolarge(given, c.packed), c.back == -1 ? 1 : 0);
    EXPECT_EQ(device.console(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChsConversion,
    testing::Values(ChsCase{"first_partition_4x16", 7688, 4, 16, false, 0x780900, 7688},
                    ChsCase{"cylinder_bits_8_and_9", 300 * 64 + 5, 4, 16, false, 0x2C4600, 300 * 64 + 5},
                    ChsCase{"cylinder_62_255x63", 1000000, 255, 63, false, 0x3E023F, 1000000},
                    // The last sector of cylinder 1023 is the marker itself.
                    ChsCase{"last_sector_of_cylinder_1023", 65535, 4, 16, false, 0xFFD003, -1},
                    ChsCase{"cylinder_1024_is_too_large", 65536, 4, 16, false, 0xFFD003, -1},
                    ChsCase{"no_geometry_small", 16065, 0, 0, true, 0x010100, 16065},
                    ChsCase{"no_geometry_too_large", 1024ULL * 16065, 0, 0, true, 0xFFFFFE, -1}),
    test::ParamName());

TEST_F(MbrTest, SectorFieldOfZeroIsRejected) {
    const qm::disk_info disk = geometry(4, 16, 1 << 21);
    EXPECT_EQ(qm::chs_to_lba(0x050000, &disk), -1);
    EXPECT_EQ(device.console(), "ERROR:parition entry has CHS sector of 0\n");
}

struct AppendCase {
    const char* name;
    int64_t offset;
    uint32_t heads, sectors;
    uint64_t disk_sectors;
    uint32_t prior_start, prior_count;  // slot 1 before; count 0: unused
    int number;
    uint8_t type;
    uint64_t size;
    bool ok;
    uint32_t start, count;
    const char* console;
    uint8_t prior_type = 0x83;
};

class AppendPartition : public MbrTest, public testing::WithParamInterface<AppendCase> {};

TEST_P(AppendPartition, PlacesOnCylindersAfterThePreviousPartition) {
    const AppendCase& c = GetParam();
    qm::g_offset_mmc = c.offset;
    const qm::disk_info disk = geometry(c.heads, c.sectors, c.disk_sectors);
    qm::mbr_sector mbr {};
    if (c.prior_count != 0) put_entry(mbr, 1, 0x80, c.prior_type, c.prior_start, c.prior_count, disk);
    if (c.number >= 2 && c.number <= 4) put_entry(mbr, c.number, 0, 0x83, 1000, 64, disk);  // a stale entry
    const qm::mbr_sector before = mbr;

    EXPECT_EQ(qm::append_partition(&mbr, c.number, &disk, 0x00, c.type, c.size), c.ok ? 1 : 0);
    EXPECT_EQ(device.console(), c.console);
    if (!c.ok) {
        EXPECT_EQ(std::memcmp(&mbr, &before, sizeof mbr), 0) << "a failure leaves the table as it was";
        return;
    }
    qm::part_info part {};
    ASSERT_EQ(qm::get_part_info(&part, c.number, &mbr), 1);
    EXPECT_EQ(part.type, c.type);
    EXPECT_EQ(part.start_sector, c.start);
    EXPECT_EQ(part.sector_count, c.count);
    if (c.type != 0) {
        EXPECT_EQ(part.start_chs, qm::lba_to_chs(c.start, &disk));
        EXPECT_EQ(part.end_chs, qm::lba_to_chs(uint64_t{c.start} + c.count - 1, &disk));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppendPartition,
    testing::Values(
        AppendCase{"after_partition_ending_at_7700", 0x400, 4, 16, 1 << 21, 7000, 700, 2, 0x83, 1000, true, 7744,
                   1024, "INFO:partition 2, start sector is 7744\n"},
        AppendCase{"first_on_mmc_boot_family_4x16", mmc_boot_offset, 4, 16, 1 << 21, 0, 0, 1, 0x83, 819200, true,
                   7688, 826944 - 7688, ""},
        AppendCase{"first_on_mmc_boot_family_255x63", mmc_boot_offset, 255, 63, 1 << 21, 0, 0, 1, 0x83, 819200,
                   true, 7688, 52 * 16065 - 7688, ""},
        AppendCase{"first_on_nor_boot_family", 0x400, 4, 16, 1 << 21, 0, 0, 1, 0x83, 1000, true, 2, 1022, ""},
        AppendCase{"size_zero_ends_on_last_whole_cylinder", mmc_boot_offset, 4, 16, (1 << 21) + 10, 0, 0, 1, 0x0B,
                   0, true, 7688, (1 << 21) - 7688, "INFO:maximizing partition 2089464 sectors\n"},
        AppendCase{"too_large_is_cut_to_the_disk_end", mmc_boot_offset, 4, 16, 131072, 0, 0, 1, 0x83, 819200, true,
                   7688, 131072 - 7688,
                   "WARNING:requested parition size exceeds disk, truncating last sector of partition to 131072.\n"},
        AppendCase{"type_zero_empties_the_slot", mmc_boot_offset, 4, 16, 1 << 21, 0, 0, 3, 0x00, 500, true, 0, 0,
                   ""},
        AppendCase{"number_5", mmc_boot_offset, 4, 16, 1 << 21, 0, 0, 5, 0x83, 500, false, 0, 0,
                   "ERROR:Partition number not between 1 and 4.\n"},
        AppendCase{"disk_of_size_zero", mmc_boot_offset, 4, 16, 0, 0, 0, 1, 0x83, 500, false, 0, 0,
                   "ERROR:unable to define partition 1\n"},
        AppendCase{"start_beyond_the_end", 0x400, 4, 16, 131072, 130000, 5000, 2, 0x83, 1000, false, 0, 0,
                   "INFO:partition 2, start sector is 135040\n"
                   "WARNING:requested parition size exceeds disk, truncating last sector of partition to 131072.\n"
                   "WARNING:start_sector exceeds end_sector. start:135040 end:131072\n"
                   "ERROR:unable to define partition 2\n"},
        AppendCase{"nothing_left", mmc_boot_offset, 4, 16, 131072, 7688, 131072 - 7688, 2, 0x0B, 0, false, 0, 0,
                   "INFO:partition 2, start sector is 131072\n"
                   "INFO:maximizing partition 0 sectors\n"
                   "ERROR:invalid zero length partition\n"},
        // Linux counts an entry with a size as a partition even when its
        // type byte is 0: the next one must not be laid over it.
        AppendCase{"type_byte_cleared_entry_still_holds_its_place", mmc_boot_offset, 4, 16, 1 << 21, 7688, 819256,
                   2, 0x83, 49152, true, 826944, 49152, "INFO:partition 2, start sector is 826944\n", 0x00},
        AppendCase{"size_capped_at_what_an_entry_holds", mmc_boot_offset, 4, 16, 6442450944, 0, 0, 1, 0x0B, 0,
                   true, 7688, 4294967295,
                   "INFO:maximizing partition 6442443256 sectors\n"
                   "WARNING:partition 1 holds only 4294967295 of 6442443256 sectors, the most an MBR entry can "
                   "hold\n"},
        AppendCase{"start_beyond_what_an_entry_holds", mmc_boot_offset, 4, 16, 6442450944, 4294967000, 4000, 2,
                   0x0B, 0, false, 0, 0,
                   "INFO:partition 2, start sector is 4294971008\n"
                   "INFO:maximizing partition 2147479936 sectors\n"
                   "ERROR:partition 2 would start at sector 4294971008, beyond what an MBR entry can hold\n"
                   "ERROR:unable to define partition 2\n"}),
    test::ParamName());

TEST_F(MbrTest, NewEntryStartsAfterEveryUsedEntryBelowNotOnlyTheNearest) {
    const qm::disk_info disk = geometry(4, 16, 1 << 21);
    qm::mbr_sector mbr {};
    put_entry(mbr, 1, 0x80, 0x83, 100000, 1000, disk);
    put_entry(mbr, 2, 0x00, 0x00, 8000, 64, disk);  // type byte cleared, size kept
    ASSERT_EQ(qm::append_partition(&mbr, 3, &disk, 0, 0x83, 64), 1);
    qm::part_info part {};
    (void)qm::get_part_info(&part, 3, &mbr);
    EXPECT_EQ(part.start_sector, 101056u);
    EXPECT_EQ(device.console(), "INFO:partition 3, start sector is 101056\n");
}

struct Entry {
    int number;
    uint8_t type;
    uint32_t start, count;
};

struct OverlapCase {
    const char* name;
    std::vector<Entry> entries;
    const char* refusal;  // empty: the table is written
};

class WriteMbrOverlap : public MbrTest, public testing::WithParamInterface<OverlapCase> {};

TEST_P(WriteMbrOverlap, TableWithOverlappingEntriesIsNeverWritten) {
    const OverlapCase& c = GetParam();
    const qm::disk_info disk = geometry(4, 16, 1 << 21);
    qm::mbr_sector mbr {};
    for (const Entry& e : c.entries) put_entry(mbr, e.number, 0, e.type, e.start, e.count, disk);
    auto& k = device.kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDWR, 0);
    ASSERT_GE(fd, 0);
    const std::string before = test::read_bytes(device.host("mmc0.img"), 0, 512);
    const bool written = std::string(c.refusal).empty();
    EXPECT_EQ(qm::write_mbr(fd, "/dev/mmcblk0", &mbr), written ? 1 : 0);
    k.close(fd);
    EXPECT_EQ(device.console(), written ? "INFO:Wrote MBR to /dev/mmcblk0\n" : c.refusal);
    const std::string after = test::read_bytes(device.host("mmc0.img"), 0, 512);
    if (written) EXPECT_EQ(after.substr(446, 64), std::string(reinterpret_cast<const char*>(mbr.entries), 64));
    else EXPECT_EQ(after, before) << "the disk is left as it was";
}

INSTANTIATE_TEST_SUITE_P(
    Tables, WriteMbrOverlap,
    testing::Values(
        OverlapCase{"map_as_laid_out",
                    {{1, 0x83, 7688, 819256}, {2, 0x83, 826944, 49152}, {3, 0x83, 876096, 16384},
                     {4, 0x0B, 892480, 1204672}},
                    ""},
        OverlapCase{"touching_ends_do_not_overlap", {{1, 0x83, 100, 100}, {2, 0x83, 200, 100}}, ""},
        OverlapCase{"entries_out_of_order", {{1, 0x83, 5000, 100}, {3, 0x83, 100, 100}}, ""},
        OverlapCase{"sizeless_entry_is_unused", {{1, 0x83, 100, 1000}, {2, 0x83, 500, 0}}, ""},
        OverlapCase{"laid_over_a_type_0_entry_with_a_size",
                    {{1, 0x00, 7688, 819256}, {2, 0x83, 7688, 49208}},
                    "ERROR:Partitions 1 and 2 overlap: not writing the table to /dev/mmcblk0\n"},
        OverlapCase{"partition_4_at_partition_3s_start",
                    {{1, 0x83, 7688, 819256}, {2, 0x83, 826944, 49152}, {3, 0x00, 876096, 16384},
                     {4, 0x0B, 876096, 1221056}},
                    "ERROR:Partitions 3 and 4 overlap: not writing the table to /dev/mmcblk0\n"},
        OverlapCase{"one_shared_sector", {{2, 0x83, 100, 101}, {4, 0x83, 200, 10}},
                    "ERROR:Partitions 2 and 4 overlap: not writing the table to /dev/mmcblk0\n"},
        OverlapCase{"covers_the_table", {{3, 0x0B, 0, 2048}},
                    "ERROR:Partition 3 covers the partition table itself: not writing the table to "
                    "/dev/mmcblk0\n"}),
    test::ParamName());

TEST_F(MbrTest, MissingArgumentsAreReported) {
    const qm::disk_info disk = geometry(4, 16, 1 << 21);
    qm::mbr_sector mbr {};
    EXPECT_EQ(qm::append_partition(nullptr, 1, &disk, 0, 0x83, 10), 0);
    EXPECT_EQ(qm::append_partition(&mbr, 1, nullptr, 0, 0x83, 10), 0);
    qm::part_info part {1, 1, 1, 1, 1, 1};
    EXPECT_EQ(qm::get_part_info(&part, 0, &mbr), 0);
    EXPECT_EQ(part.sector_count, 0u);
    EXPECT_EQ(device.console(),
              "ERROR:No MBR data to modify.\nERROR:No disk geometry found.\nERROR:Invalid partition number 0\n");
}

TEST_F(MbrTest, BlankDiskReadsAsFourUnusedEntriesAndGetsAnIdentifierWhenWritten) {
    auto& k = device.kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDWR, 0);
    ASSERT_GE(fd, 0);
    qm::mbr_sector mbr {};
    std::memset(&mbr, 0x5A, sizeof mbr);
    ASSERT_EQ(qm::read_mbr(fd, "/dev/mmcblk0", &mbr), 1);
    for (int number = 1; number <= 4; ++number) {
        qm::part_info part {};
        (void)qm::get_part_info(&part, number, &mbr);
        EXPECT_EQ(part.type, 0);
    }
    ASSERT_EQ(qm::write_mbr(fd, "/dev/mmcblk0", &mbr), 1);
    EXPECT_EQ(qm::get_disk_id(&mbr), static_cast<uint32_t>(k.time(nullptr)));
    EXPECT_EQ(device.take_console(), "INFO:Wrote MBR to /dev/mmcblk0\n");

    qm::set_disk_id(&mbr, 0x12345678);
    ASSERT_EQ(qm::write_mbr(fd, "/dev/mmcblk0", &mbr), 1);
    k.close(fd);
    const std::string image = test::read_bytes(device.host("mmc0.img"), 0, 512);
    EXPECT_EQ(image.substr(440, 4), std::string("\x78\x56\x34\x12", 4));
    EXPECT_EQ(image.substr(510, 2), "\x55\xAA");
}

TEST_F(MbrTest, ShortDeviceCannotGiveAnMbr) {
    test::write_file(device.host("tiny.img"), std::string(100, 'x'));
    auto& k = device.kernel();
    const int fd = k.open("/tiny.img", O_RDONLY, 0);
    qm::mbr_sector mbr {};
    EXPECT_EQ(qm::read_mbr(fd, "/tiny.img", &mbr), 0);
    EXPECT_EQ(device.console(), "ERROR:/tiny.img:Input/output error(5)\n");
    k.close(fd);
}

TEST_F(MbrTest, DumpShowsEntriesAndTheTooLargeMarker) {
    const qm::disk_info disk = geometry(255, 63, 20000000);
    qm::mbr_sector mbr {};
    put_entry(mbr, 1, 0x80, 0x83, 63, 16002, disk);
    put_entry(mbr, 2, 0x00, 0x0B, 16065 * 1023, 100000, disk);
    qm::dump_part(nullptr, &mbr, &disk);
    EXPECT_EQ(device.console(),
              "disk:\nCHS=1244/255/63 size=10240000000 bytes\nflag type      first       last  lba first   lba size\n"
              "Partition p1:\n0x80 0x83         63      16064         63      16002\n    CHS: 0/1/1 - 0/254/63\n"
              "Partition p2:\n0x00 0x0b   16434495 <large>      16434495     100000\n"
              "    CHS: 1023/0/1 - <large>\nPartition p3:\nPartition p4:\n");
}

TEST_F(MbrTest, GeometryOfTheSimulatedMmcCountsWholeCylinders) {
    auto& k = device.kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDONLY, 0);
    qm::disk_info disk {};
    ASSERT_EQ(qm::get_disk_info(fd, "/dev/mmcblk0", &disk), 1);
    EXPECT_EQ(disk.heads, 4u);
    EXPECT_EQ(disk.sectors, 16u);
    EXPECT_EQ(disk.cylinders, 32768u);
    EXPECT_EQ(disk.size, 1ULL << 30);
    EXPECT_EQ(qm::device_size(fd, "/dev/mmcblk0"), 1ULL << 30);
    k.close(fd);
    EXPECT_EQ(qm::get_disk_info(-1, "x", &disk), 0);
    EXPECT_EQ(qm::device_size_byname("/dev/mmcblk0p1"), 0u);
    EXPECT_EQ(device.console(), "/dev/mmcblk0p1: No such file or directory\n");
}

// Writes a table with the program's own functions and asks for a re-read.
class Reread : public MbrTest {
protected:
    int write_table(int fd) {
        qm::disk_info disk {};
        qm::mbr_sector mbr {};
        (void)qm::get_disk_info(fd, "/dev/mmcblk0", &disk);
        (void)qm::append_partition(&mbr, 1, &disk, 0x80, 0x83, 2048);
        (void)qm::append_partition(&mbr, 2, &disk, 0, 0x0B, 0);
        return qm::write_mbr(fd, "/dev/mmcblk0", &mbr);
    }
};

TEST_F(Reread, NewPartitionsAppearOnlyAfterTheKernelRereads) {
    auto& k = device.kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDWR, 0);
    ASSERT_EQ(write_table(fd), 1);
    struct stat status {};
    EXPECT_NE(k.stat("/dev/mmcblk0p1", &status), 0);
    device.take_console();
    EXPECT_EQ(qm::reread_partition(fd, "/dev/mmcblk0"), 1);
    EXPECT_EQ(device.take_console(), "Rereading partition information ... \n");
    EXPECT_EQ(k.storage().partitions.rereads_before_drain(), 0u) << "the console is drained before the re-read";
    k.close(fd);
    EXPECT_EQ(qm::device_size_byname("/dev/mmcblk0p1"), (7744ULL - 7688 + 2048) * 512);
    EXPECT_EQ(qm::device_size_byname("/dev/mmcblk0p2"), ((1ULL << 21) - 9792) * 512);
    EXPECT_NE(device.kernel().klog().text().find(" mmcblk0: p1 p2"), std::string::npos);
}

TEST_F(Reread, BusyDiskIsAskedSixTimesThenAdviceIsGiven) {
    auto& k = device.kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDWR, 0);
    ASSERT_EQ(write_table(fd), 1);
    ASSERT_EQ(qm::reread_partition(fd, "/dev/mmcblk0"), 1);
    const int partition = k.open("/dev/mmcblk0p1", O_RDONLY, 0);
    ASSERT_GE(partition, 0);
    device.take_console();
    const unsigned long before = k.storage().partitions.reread_requests(0);

    EXPECT_EQ(qm::reread_partition(-1, "/dev/mmcblk0"), 0);
    EXPECT_EQ(k.storage().partitions.reread_requests(0) - before, 6u);
    EXPECT_EQ(k.storage().partitions.rereads_before_drain(), 0u) << "and again before every retry";
    EXPECT_EQ(device.take_console(),
              "Rereading partition information ... \n"
              "The kernel was unable to re-read the partition table on /dev/mmcblk0 (Device or resource busy). "
              "This means Linux won't know anything about the modifications you made until you reboot. You should "
              "reboot to fixed this.\n");
    k.close(partition);
    EXPECT_EQ(qm::reread_partition(-1, "/dev/mmcblk0"), 1);
    k.close(fd);
}

TEST_F(Reread, PartitionNamesAreLeftAlone) {
    const unsigned long before = device.kernel().storage().partitions.reread_requests(0);
    EXPECT_EQ(qm::reread_partition(-1, "/dev/mmcblk0p1"), 1);
    EXPECT_EQ(device.kernel().storage().partitions.reread_requests(0), before);
    EXPECT_EQ(device.console(), "");
    EXPECT_EQ(qm::reread_partition(-1, "/dev/nothing"), 0);
    EXPECT_EQ(device.console(),
              "Rereading partition information ... \nERROR:/dev/nothing:No such file or directory(2)\n");
}

}  // namespace

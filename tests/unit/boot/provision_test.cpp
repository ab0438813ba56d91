// Provisioning of the internal MMC on the simulated device, checked against
// util-linux, dosfstools and mtools where they can read the result.
#include "boot/provision.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "boot/process_state.h"

#include <filesystem>
#include <sstream>

#include "platform/boardid.h"
#include "sim/faults.h"
#include "sim/filesystems.h"
#include "support/host_tools.h"
#include "support/image_bytes.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

constexpr int64_t mmc_boot_offset = 0x3C1000;
constexpr int64_t nor_boot_offset = 0x400;

uint32_t le32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

struct Entry {
    uint32_t start, count;
};

Entry entry_of(const std::string& image, off_t disk_offset, int number) {
    const std::string sector = test::read_bytes(image, disk_offset, 512);
    return {le32(sector, 446 + 16 * (number - 1) + 8), le32(sector, 446 + 16 * (number - 1) + 12)};
}

sim::InitOptions mmc(uint64_t size, unsigned heads = 4, unsigned sectors = 16) {
    sim::InitOptions options;
    options.mmc_size = size;
    options.mmc_heads = heads;
    options.mmc_sectors = sectors;
    return options;
}

void add_fault(test::SimDevice& device, const std::string& text) {
    std::string error;
    const auto fault = sim::parse_fault(text, error);
    ASSERT_TRUE(fault) << error;
    device.kernel().faults().add(*fault);
}

size_t count_of(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class Provisioning : public testing::Test {
protected:
    void TearDown() override { qm::process_state_reset(); }
    void make_device(const sim::InitOptions& options, int64_t offset) {
        device_ = std::make_unique<test::SimDevice>(options);
        qm::g_offset_mmc = offset;
    }
    test::SimDevice& device() { return *device_; }
    std::string image() { return device_->host("mmc0.img"); }
    off_t partition_offset(int number) { return off_t{entry_of(image(), 0, number).start} * 512; }
    void provision() {
        ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1) << device_->console();
        ASSERT_EQ(qm::run_mkfs("/dev/mmcblk0"), 1) << device_->console();
        device_->take_console();
    }

    std::unique_ptr<test::SimDevice> device_;
};

// Cross-checks against util-linux: sfdisk reads the table back, and fdisk
// (or sfdisk, which only knows 255 heads and 63 sectors for an image) makes
// the same entries, CHS fields included, for the same geometry.
struct MapCase {
    const char* name;
    int64_t offset;
    unsigned heads, sectors;
    const char* reference;  // "fdisk" or "sfdisk"
    Entry expected[4];
};

class PartitionMap : public Provisioning, public testing::WithParamInterface<MapCase> {};

// fdisk's own table for the same partitions; from the second one on when
// fdisk cannot place the first (it starts inside the first track).
std::string fdisk_script(const std::vector<test::DumpedPartition>& parts, size_t first) {
    std::ostringstream script;
    script << "o\n";
    for (size_t i = first; i < parts.size(); ++i) {
        script << "n\np\n";
        if (i < 3 || first != 0) script << i + 1 << "\n";  // the last free slot is taken without asking
        script << parts[i].start << "\n" << parts[i].start + parts[i].size - 1 << "\n";
    }
    script << "t\n4\nb\n";
    if (first == 0) script << "a\n1\n";
    script << "w\n";
    return script.str();
}

std::string sfdisk_script(const std::vector<test::DumpedPartition>& parts) {
    std::ostringstream script;
    script << "label: dos\n";
    for (const auto& part : parts)
        script << "start=" << part.start << ", size=" << part.size << ", type=" << part.type
               << (part.bootable ? ", bootable" : "") << "\n";
    return script.str();
}

TEST_P(PartitionMap, ReadsBackThroughUtilLinuxWithTheSameChs) {
    const MapCase& c = GetParam();
    const std::string sfdisk = test::find_tool("sfdisk");
    if (sfdisk.empty()) GTEST_SKIP() << "sfdisk (util-linux) is not installed";
    make_device(mmc(1ULL << 30, c.heads, c.sectors), c.offset);
    ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1) << device().console();

    const auto parts = test::sfdisk_dump(sfdisk, image());
    ASSERT_EQ(parts.size(), 4u);
    const char* types[] = {"83", "83", "83", "b"};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(parts[i].start, c.expected[i].start) << "partition " << i + 1;
        EXPECT_EQ(parts[i].size, c.expected[i].count) << "partition " << i + 1;
        EXPECT_EQ(parts[i].type, types[i]);
        EXPECT_EQ(parts[i].bootable, i == 0);
    }

    const std::string tool = test::find_tool(c.reference);
    if (tool.empty()) GTEST_SKIP() << c.reference << " is not installed";
    const std::string reference = device().host("reference.img");
    test::write_file(reference, "");
    std::filesystem::resize_file(reference, 1ULL << 30);
    const size_t first = std::string(c.reference) == "fdisk" && parts[0].start < c.sectors ? 1 : 0;
    const test::ToolRun made =
        std::string(c.reference) == "fdisk"
            ? test::run_tool(tool + " -c=dos -H " + std::to_string(c.heads) + " -S " + std::to_string(c.sectors) +
                                 " '" + reference + "'",
                             fdisk_script(parts, first))
            : test::run_tool(tool + " --no-reread --no-tell-kernel -q '" + reference + "'", sfdisk_script(parts));
    ASSERT_EQ(made.status, 0) << made.output;
    const off_t from = 446 + 16 * static_cast<off_t>(first);
    EXPECT_EQ(test::read_bytes(image(), from, 510 - from), test::read_bytes(reference, from, 510 - from))
        << "the entries, CHS fields included, differ from " << c.reference << "'s";
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, PartitionMap,
    testing::Values(
        MapCase{"mmc_boot_4x16", mmc_boot_offset, 4, 16, "fdisk",
                {{7688, 819256}, {826944, 49152}, {876096, 16384}, {892480, 1204672}}},
        MapCase{"mmc_boot_255x63", mmc_boot_offset, 255, 63, "fdisk",
                {{7688, 827692}, {835380, 64260}, {899640, 32130}, {931770, 1156680}}},
        MapCase{"nor_boot_255x63", nor_boot_offset, 255, 63, "sfdisk",
                {{2, 819313}, {819315, 64260}, {883575, 32130}, {915705, 1172745}}},
        MapCase{"nor_boot_4x16", nor_boot_offset, 4, 16, "fdisk",
                {{2, 819262}, {819264, 49152}, {868416, 16384}, {884800, 1212352}}}),
    test::ParamName());

TEST_F(Provisioning, TableIsWrittenOnlyWhenEveryRowFits) {
    make_device(mmc(64 << 20), mmc_boot_offset);
    EXPECT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 0);
    const std::string console = device().console();
    EXPECT_NE(console.find("WARNING:requested parition size exceeds disk, truncating last sector of partition to "
                           "131072.\n"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("EMERGENCY:!!! Partition table create failures !!!\n"), std::string::npos);
    EXPECT_EQ(console.find("Wrote MBR"), std::string::npos);
    EXPECT_EQ(test::read_bytes(image(), 0, 512), std::string(512, '\0'));
}

TEST_F(Provisioning, NewTableKeepsBootCodeAndWipesTheStartOfPartitions124) {
    make_device({}, mmc_boot_offset);
    const std::string boot_code(440, '\xAB');
    ASSERT_TRUE(test::write_bytes(image(), 0, boot_code + "\xBE\xBA\xFE\xCA"));
    const off_t starts[] = {7688 * 512, 826944LL * 512, 876096LL * 512, 892480LL * 512};
    constexpr off_t cylinder = 4 * 16 * 512;
    for (const off_t start : starts) ASSERT_TRUE(test::write_bytes(image(), start, std::string(cylinder + 1, 'S')));

    ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1);
    EXPECT_EQ(test::read_bytes(image(), 0, 444), boot_code + "\xBE\xBA\xFE\xCA");
    for (int number : {1, 2, 4}) {
        const off_t start = starts[number - 1];
        EXPECT_EQ(test::read_bytes(image(), start, cylinder), std::string(cylinder, '\0')) << "partition " << number;
        EXPECT_EQ(test::read_bytes(image(), start + cylinder, 1), "S") << "only one cylinder of " << number;
    }
    EXPECT_EQ(test::read_bytes(image(), starts[2], 1), "S") << "partition 3 is left as it is";
    const std::string console = device().console();
    EXPECT_NE(console.find("INFO:Loading original MBR from MMC0 (/dev/mmcblk0) ... \n"), std::string::npos);
    EXPECT_NE(console.find("INFO:Writing out partition table to MMC0 (/dev/mmcblk0)\n"), std::string::npos);
    EXPECT_NE(console.find("INFO:Nuked first cylinder(32768 bytes) of filesystem in partition 4(+456949760) on "
                           "/dev/mmcblk0\n"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("Rereading partition information ... \n"), std::string::npos);
}

TEST_F(Provisioning, NukeChecksItsArgumentsAndReportsAFailedWrite) {
    make_device({}, mmc_boot_offset);
    ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1);
    device().take_console();
    auto& k = device().kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDWR, 0);
    qm::disk_info disk {};
    qm::mbr_sector mbr {};
    ASSERT_TRUE(qm::get_disk_info(fd, "/dev/mmcblk0", &disk) && qm::read_mbr(fd, "/dev/mmcblk0", &mbr));
    EXPECT_EQ(qm::nuke_first_cylinder(fd, "/dev/mmcblk0", &disk, 5, &mbr), 0);
    EXPECT_EQ(qm::nuke_first_cylinder(-1, "/dev/mmcblk0", &disk, 1, &mbr), 0);
    EXPECT_EQ(qm::nuke_first_cylinder(fd, nullptr, &disk, 1, &mbr), 0);
    EXPECT_EQ(device().take_console(), "");
    add_fault(device(), "eio:/dev/mmcblk0");
    EXPECT_EQ(qm::nuke_first_cylinder(fd, "/dev/mmcblk0", &disk, 3, &mbr), 0);
    EXPECT_EQ(device().console(), "ERROR:Could not nuke filesystem in partition 3: Input/output error\n");
    k.close(fd);
}

TEST_F(Provisioning, NestedUserStoreHoldsARealFat32ForDosfstoolsAndMtools) {
    const std::string sfdisk = test::find_tool("sfdisk");
    const std::string mkfs = test::find_tool("mkfs.fat");
    const std::string mcopy = test::find_tool("mcopy");
    const std::string mdir = test::find_tool("mdir");
    if (sfdisk.empty() || mkfs.empty() || mcopy.empty() || mdir.empty())
        GTEST_SKIP() << "util-linux, dosfstools or mtools is not installed";
    make_device(mmc(512 << 20), mmc_boot_offset);
    ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1);
    device().take_console();
    ASSERT_EQ(qm::run_mkfs("/dev/mmcblk0"), 1);
    const std::string console = device().console();
    EXPECT_NE(console.find("INFO:Formatting userstore\nINFO:Loading original MBR from /dev/mmcblk0p4 ... \n"),
              std::string::npos)
        << console;
    EXPECT_NE(console.find("INFO:Setup loop device /dev/loop0 for /dev/mmcblk0p4 + 3936256\n"
                           "INFO:executing: /bin/mkdosfs -F 32 -n Tavrin -v /dev/loop0\n"),
              std::string::npos);
    EXPECT_NE(console.find("\nSyncing ... \n"), std::string::npos);
    EXPECT_EQ(device().kernel().storage().loops.bound(0), nullptr) << "the loop device is detached again";

    // The user store as a USB host sees it: a disk of its own.
    const Entry userstore = entry_of(image(), 0, 4);
    const std::string disk = device().host("userstore.img");
    test::write_file(disk, test::read_bytes(image(), off_t{userstore.start} * 512, 512));
    std::filesystem::resize_file(disk, uint64_t{userstore.count} * 512);
    const auto inner = test::sfdisk_dump(sfdisk, disk);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].start, 7688u);
    EXPECT_EQ(inner[0].size, userstore.count / 64 * 64 - 7688);
    EXPECT_EQ(inner[0].type, "b");
    EXPECT_FALSE(inner[0].bootable);

    const std::string at = disk + "@@" + std::to_string(inner[0].start * 512);
    const auto formatted = test::run_tool(mkfs + " -F 32 -n Tavrin --offset " + std::to_string(inner[0].start) +
                                          " '" + disk + "' " + std::to_string(inner[0].size / 2));
    ASSERT_EQ(formatted.status, 0) << formatted.output;
    test::write_file(device().host("hello.txt"), "hello\n");
    const auto copied = test::run_tool("MTOOLS_SKIP_CHECK=1 " + mcopy + " -i '" + at + "' '" +
                                       device().host("hello.txt") + "' ::/HELLO.TXT");
    ASSERT_EQ(copied.status, 0) << copied.output;
    const auto listed = test::run_tool("MTOOLS_SKIP_CHECK=1 " + mdir + " -i '" + at + "' ::/");
    ASSERT_EQ(listed.status, 0) << listed.output;
    EXPECT_NE(listed.output.find("HELLO    TXT"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("Tavrin"), std::string::npos) << listed.output;
}

TEST_F(Provisioning, FormatEmptiesTheUserStoreAndRecordsTheLabel) {
    make_device({}, mmc_boot_offset);
    provision();
    test::write_file(device().host("userstore/update-old.bin"), "stale");
    ASSERT_EQ(qm::run_mkfs("/dev/mmcblk0"), 1);
    EXPECT_TRUE(std::filesystem::is_empty(device().host("userstore")));
    const off_t fat = partition_offset(4) + 7688 * 512;
    const std::string boot = test::read_bytes(image(), fat, 512);
    ASSERT_TRUE(sim::is_fat_boot_sector(reinterpret_cast<const uint8_t*>(boot.data())));
    EXPECT_EQ(sim::fat32_label(reinterpret_cast<const uint8_t*>(boot.data())), "Tavrin");
}

// A store a host formatted whole starts with a FAT boot sector; the table
// the format writes there must not keep its parameter block, or a host
// would still find the old FAT at the store's first byte.
TEST_F(Provisioning, FormatOfAStoreFormattedWholeLeavesNoFatBootSectorAtItsStart) {
    make_device({}, mmc_boot_offset);
    provision();
    const off_t store = partition_offset(4);
    ASSERT_TRUE(test::write_bytes(image(), store, test::read_bytes(image(), store + 7688 * 512, 512)));
    ASSERT_EQ(qm::run_mkfs("/dev/mmcblk0"), 1) << device().console();
    const std::string first = test::read_bytes(image(), store, 512);
    EXPECT_FALSE(sim::is_fat_boot_sector(reinterpret_cast<const uint8_t*>(first.data())));
    EXPECT_EQ(entry_of(image(), store, 1).start, 7688u);
    EXPECT_EQ(first.substr(510), "\x55\xAA");
}

// A user store whose first read fails: the table step is skipped and the
// format goes through the inner table already there.
class UnreadableUserStore : public Provisioning {
protected:
    void SetUp() override {
        make_device({}, mmc_boot_offset);
        ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1);
        device().take_console();
        add_fault(device(), "eio-read:/dev/mmcblk0p4:1");
    }
    void write_inner_table(uint8_t type) {
        std::string entry(16, '\0');
        entry[4] = static_cast<char>(type);
        entry[8] = static_cast<char>(7688 & 0xFF);
        entry[9] = static_cast<char>(7688 >> 8);
        entry[13] = 0x10;  // 4096 sectors
        ASSERT_TRUE(test::write_bytes(image(), partition_offset(4) + 446, entry));
        ASSERT_TRUE(test::write_bytes(image(), partition_offset(4) + 510, "\x55\xAA"));
    }
};

TEST_F(UnreadableUserStore, StillFormatsThroughTheExistingInnerTable) {
    write_inner_table(0x0b);
    EXPECT_EQ(qm::run_mkfs("/dev/mmcblk0"), 1);
    const std::string console = device().console();
    EXPECT_NE(console.find("ERROR:/dev/mmcblk0p4:Input/output error(5)\n"), std::string::npos) << console;
    EXPECT_EQ(console.find("INFO:Writing out partition table"), std::string::npos);
    EXPECT_NE(console.find("INFO:Setup loop device /dev/loop0 for /dev/mmcblk0p4 + 3936256\n"), std::string::npos);
}

TEST_F(UnreadableUserStore, CannotBeFormattedWithoutAFat32Partition) {
    write_inner_table(0x83);
    EXPECT_EQ(qm::run_mkfs("/dev/mmcblk0"), 0);
    const std::string console = device().console();
    EXPECT_NE(console.find("ERROR:Could not find partition 0x0b on /dev/mmcblk0p4\n"
                           "ERROR:Unable to create loop /dev/loop0 from /dev/mmcblk0p4\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("executing"), std::string::npos);
}

TEST_F(Provisioning, FailingFormatterIsReportedWithItsRawStatus) {
    make_device({}, mmc_boot_offset);
    provision();
    add_fault(device(), "eio:/dev/loop0");
    EXPECT_EQ(qm::run_mkfs("/dev/mmcblk0"), 0);
    EXPECT_NE(device().console().find("ERROR:Error executing: /bin/mkdosfs -F 32 -n Tavrin -v /dev/loop0\n"
                                      "ERROR:result=256\n"),
              std::string::npos)
        << device().console();
    EXPECT_EQ(device().kernel().storage().loops.bound(0), nullptr);
}

// Erasing: progress per chunk, and which bytes are left alone.
class Erase : public Provisioning {
protected:
    void fill(off_t offset, size_t count, char byte) { ASSERT_TRUE(test::write_bytes(image(), offset, std::string(count, byte))); }
    char byte_at(off_t offset) { return test::read_bytes(image(), offset, 1)[0]; }
};

TEST_F(Erase, PartitionIsErasedFromItsFirstByteToItsLast) {
    make_device({}, mmc_boot_offset);
    ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1);
    device().take_console();
    const off_t start = partition_offset(2);
    constexpr off_t size = 24 << 20;
    fill(start, size, '\xEE');
    fill(start + size, 1, 'n');

    EXPECT_EQ(qm::erase_dev("/dev/mmcblk0p2", "VarLocal"), 1);
    EXPECT_NE(device().kernel().last_open_flags("/dev/mmcblk0p2") & O_SYNC, 0) << "erased with synchronous writes";
    for (const off_t at : {off_t{0}, off_t{1023}, off_t{1024}, off_t{4096}, off_t{mmc_boot_offset - 1},
                           off_t{mmc_boot_offset}, size - 1})
        EXPECT_EQ(byte_at(start + at), '\0') << "byte " << at << " of the partition";
    EXPECT_EQ(byte_at(start + size), 'n') << "the next partition is untouched";
    const std::string console = device().console();
    EXPECT_EQ(count_of(console, "VarLocal: ("), 192u);
    EXPECT_EQ(console.find("VarLocal: ("), console.find("VarLocal: (0 of 24 MiB) "));
    EXPECT_NE(console.find("VarLocal: (24 of 24 MiB) "), std::string::npos);
    EXPECT_NE(console.find("DONE!\n", console.find("VarLocal: (24 of 24 MiB) ")), std::string::npos)
        << "the end of the device is no error";
    EXPECT_EQ(console.find("ERROR:"), std::string::npos);
}

TEST_F(Erase, WholeMmcKeepsItsRawBootRegions) {
    make_device(mmc(64 << 20), mmc_boot_offset);
    fill(0, 5 << 20, '\xEE');
    fill((64 << 20) - 1, 1, '\xEE');
    EXPECT_EQ(qm::erase_dev("/dev/mmcblk0", "MMC0"), 1);
    EXPECT_EQ(test::read_bytes(image(), 0, 1024), std::string(1024, '\0'));
    EXPECT_EQ(byte_at(1024), '\xEE');
    EXPECT_EQ(byte_at(mmc_boot_offset - 1), '\xEE');
    EXPECT_EQ(byte_at(mmc_boot_offset), '\0');
    EXPECT_EQ(byte_at((64 << 20) - 1), '\0');
    // The progress counts the bytes written, not the ones skipped.
    EXPECT_NE(device().console().find("MMC0: (60 of 64 MiB) "), std::string::npos);
    EXPECT_NE(device().console().find("DONE!\n"), std::string::npos);
}

TEST_F(Erase, WholeMmcOfTheNorBootFamilyIsErasedWithoutAGap) {
    make_device(mmc(64 << 20), nor_boot_offset);
    fill(0, 8192, '\xEE');
    EXPECT_EQ(qm::erase_dev("/dev/mmcblk0", "MMC0"), 1);
    EXPECT_EQ(test::read_bytes(image(), 0, 8192), std::string(8192, '\0'));
}

TEST_F(Erase, FailuresNameTheLabel) {
    make_device({}, mmc_boot_offset);
    EXPECT_EQ(qm::erase_dev("/dev/mmcblk0p2", "VarLocal"), 0);
    EXPECT_EQ(device().take_console(), "ERROR:VarLocal:No such file or directory(2)\n");

    ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1);
    device().take_console();
    add_fault(device(), "eio:/dev/mmcblk0p2:3");  // the head, one chunk, then the failure
    EXPECT_EQ(qm::erase_dev("/dev/mmcblk0p2", "VarLocal"), 0);
    const std::string console = device().console();
    EXPECT_EQ(count_of(console, "VarLocal: ("), 1u) << console;
    EXPECT_NE(console.find("ERROR:VarLocal:Input/output error(5)\n"), std::string::npos);
    EXPECT_EQ(console.find("DONE!"), std::string::npos);
}

// The raw boot regions below the first partition hold the boot loader and
// kernels: an erase whose seek over them fails must stop before it writes
// anything past the head, and a failed flush at the end is no success.
TEST_F(Erase, FailedSeekOrFlushStopsTheEraseAndLeavesTheBootRegions) {
    struct Case {
        const char* fault;
        bool past_boot_regions_erased;
    };
    for (const Case c : {Case{"eio-seek:/dev/mmcblk0:1", false}, Case{"eio-fsync:/dev/mmcblk0:1", true}}) {
        SCOPED_TRACE(c.fault);
        make_device(mmc(64 << 20), mmc_boot_offset);
        fill(0, 8 << 20, '\xEE');
        const std::string boot_regions = test::read_bytes(image(), 1024, mmc_boot_offset - 1024);
        add_fault(device(), c.fault);

        EXPECT_EQ(qm::erase_dev("/dev/mmcblk0", "MMC0"), 0);
        EXPECT_EQ(test::read_bytes(image(), 1024, mmc_boot_offset - 1024), boot_regions);
        EXPECT_EQ(test::read_bytes(image(), 0, 1024), std::string(1024, '\0')) << "the head is written first";
        EXPECT_EQ(byte_at(mmc_boot_offset), c.past_boot_regions_erased ? '\0' : '\xEE');
        const std::string console = device().console();
        EXPECT_NE(console.find("ERROR:MMC0:Input/output error(5)\n"), std::string::npos) << console;
        EXPECT_EQ(console.find("DONE!"), std::string::npos) << console;
    }
}

TEST_F(Erase, FactoryResetErasesVarLocalAndGivesAnEmptyUserStore) {
    make_device({}, mmc_boot_offset);
    provision();
    const off_t varlocal = partition_offset(2);
    fill(varlocal + 2048, 1, 'v');
    test::write_file(device().host("userstore/book.txt"), "mine");

    EXPECT_EQ(qm::erase_userstore_and_varlocal(), 1);
    EXPECT_EQ(byte_at(varlocal + 2048), '\0');
    EXPECT_TRUE(std::filesystem::is_empty(device().host("userstore")));
    const std::string console = device().console();
    EXPECT_EQ(console.find("INFO:**************************************\n"
                           "INFO:*** ERASING USERSTORE AND VARLOCAL ***\n"
                           "INFO:**************************************\n"),
              0u)
        << console;
    EXPECT_NE(console.find("INFO:Formatting userstore\n"), console.find("DONE!\n"));
}

}  // namespace

// Whole boots that lay out a blank internal MMC or repair its table, read
// back with util-linux.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <ostream>

#include "support/host_tools.h"
#include "support/image_bytes.h"
#include "support/param_name.h"
#include "support/simrun.h"
#include "support/testdir.h"

namespace {

struct Expected {
    unsigned long long start, size;
};

struct FamilyCase {
    const char* name;
    std::vector<std::string> init;
    Expected table[4];
    unsigned long long inner_start;
};

class BlankDevice : public testing::TestWithParam<FamilyCase> {
protected:
    std::string device() const { return dir / "dev"; }
    test::TempDir dir;
};

TEST_P(BlankDevice, FirstBootLaysOutTheMapTheNestedTableAndAnEmptyUserStore) {
    const FamilyCase& c = GetParam();
    const std::string sfdisk = test::find_tool("sfdisk");
    if (sfdisk.empty()) GTEST_SKIP() << "sfdisk (util-linux) is not installed";
    test::init_device(device(), c.init);
    const auto first = test::run_sim({"boot", device()});
    EXPECT_NE(first.find("INFO:Reinitializing partition table for /dev/mmcblk0\n"), std::string::npos)
        << first.output;
    EXPECT_NE(first.find("INFO:no updates found.\n"), std::string::npos) << "the update check saw the user store";
    EXPECT_EQ(first.last_line(), "SIM: exec /bin/kinit");

    const std::string image = dir / "dev/mmc0.img";
    const auto parts = test::sfdisk_dump(sfdisk, image);
    ASSERT_EQ(parts.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(parts[i].start, c.table[i].start) << "partition " << i + 1;
        EXPECT_EQ(parts[i].size, c.table[i].size) << "partition " << i + 1;
    }
    const std::string userstore = dir / "userstore.img";
    test::write_file(userstore, test::read_bytes(image, static_cast<off_t>(parts[3].start * 512), 512));
    std::filesystem::resize_file(userstore, parts[3].size * 512);
    const auto inner = test::sfdisk_dump(sfdisk, userstore);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(inner[0].start, c.inner_start);
    EXPECT_EQ(inner[0].type, "b");
    ASSERT_TRUE(std::filesystem::is_directory(dir / "dev/userstore"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "dev/userstore"));

    const auto second = test::run_sim({"boot", device()});
    EXPECT_NE(second.find("INFO:Partition table verified for /dev/mmcblk0\n"), std::string::npos) << second.output;
    EXPECT_EQ(second.find("Writing out partition table"), std::string::npos);
    EXPECT_EQ(second.last_line(), "SIM: exec /bin/kinit");
}

INSTANTIATE_TEST_SUITE_P(
    Families, BlankDevice,
    testing::Values(FamilyCase{"mmc_boot", {}, {{7688, 819256}, {826944, 49152}, {876096, 16384}, {892480, 1204672}},
                               7688},
                    FamilyCase{"nor_boot",
                               {"--family", "nor"},
                               {{2, 819262}, {819264, 49152}, {868416, 16384}, {884800, 1212352}},
                               2}),
    test::ParamName());

// A provisioned device whose table lost an entry, with marks in the places
// a repair must or must not touch.
struct RepairCase {
    const char* name;
    std::vector<int> lost;  // the entries cleared before the boot
    const char* announced;
    bool rootfs_kept, varlocal_kept;
    std::vector<int> nuked;
    bool userstore_kept;  // its files survive: no format
};

class TableRepair : public testing::TestWithParam<RepairCase> {
protected:
    void SetUp() override {
        test::init_device(device());
        const auto provisioned = test::run_sim({"boot", device()});
        ASSERT_EQ(provisioned.last_line(), "SIM: exec /bin/kinit") << provisioned.output;
        table_ = test::read_bytes(image(), 446, 64);
    }
    std::string device() const { return dir / "dev"; }
    std::string image() const { return dir / "dev/mmc0.img"; }
    static constexpr off_t rootfs = 7688LL * 512;
    static constexpr off_t varlocal = 826944LL * 512;

    test::TempDir dir;
    std::string table_;
};

TEST_P(TableRepair, RebuildsWhatIsMissingAndFormatsOnlyAUserStoreThatWasMissing) {
    const RepairCase& c = GetParam();
    ASSERT_TRUE(test::write_bytes(image(), rootfs + 100, "ROOT"));
    ASSERT_TRUE(test::write_bytes(image(), varlocal + 100, "VARL"));
    test::write_file(dir / "dev/userstore/book.txt", "mine");
    for (const int lost : c.lost) ASSERT_TRUE(test::write_bytes(image(), 446 + 16 * (lost - 1), std::string(16, '\0')));

    const auto run = test::run_sim({"boot", device()});
    EXPECT_NE(run.find(c.announced), std::string::npos) << run.output;
    for (int number = 1; number <= 4; ++number) {
        const bool nuked = std::count(c.nuked.begin(), c.nuked.end(), number) != 0;
        EXPECT_EQ(run.contains("of filesystem in partition " + std::to_string(number) + "("), nuked)
            << "partition " << number << "\n" << run.output;
    }
    EXPECT_EQ(run.contains("INFO:executing: /bin/mkdosfs -F 32 -n Tavrin -v /dev/loop0\n"), !c.userstore_kept);
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");

    EXPECT_EQ(test::read_bytes(image(), 446, 64), table_) << "the map is whole again";
    EXPECT_EQ(test::read_bytes(image(), rootfs + 100, 4) == "ROOT", c.rootfs_kept);
    EXPECT_EQ(test::read_bytes(image(), varlocal + 100, 4) == "VARL", c.varlocal_kept);
    EXPECT_EQ(std::filesystem::exists(dir / "dev/userstore/book.txt"), c.userstore_kept);

    const auto next = test::run_sim({"boot", device()});
    EXPECT_NE(next.find("INFO:Partition table verified for /dev/mmcblk0\n"), std::string::npos) << next.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TableRepair,
    testing::Values(// Partitions 2 and 4 are where the map puts them: their data is live.
                    RepairCase{"partition_1_absent", {1}, "INFO:Keeping partition 4 of /dev/mmcblk0 as it is\n",
                               false, true, {1}, true},
                    // The entry went, the user store in its place did not: its
                    // own table still leads to the FAT, so its books stay.
                    RepairCase{"only_partition_4_absent", {4}, "INFO:Keeping partition 4 of /dev/mmcblk0 as it is\n",
                               true, true, {}, true},
                    // The user store is still there: its books stay.
                    RepairCase{"partition_2_absent", {2}, "INFO:Keeping partition 4 of /dev/mmcblk0 as it is\n", true,
                               false, {2}, true},
                    RepairCase{"partitions_2_to_4_absent", {2, 3, 4}, "INFO:Keeping partition 4 of /dev/mmcblk0 as it is\n",
                               true, false, {2}, true},
                    RepairCase{"partitions_1_and_4_absent", {1, 4}, "INFO:Keeping partition 4 of /dev/mmcblk0 as it is\n",
                               false, true, {1}, true}),
    test::ParamName());

// A table whose every entry is still in place but which Linux refuses whole
// for one odd byte: the kernel then shows no partition at all. The rebuild
// lays the map out on the same places, so the data in them is live: it is
// kept, and only the table is written again.
struct OddTableCase {
    const char* name;
    off_t at;  // the byte changed in the MBR
    std::string bytes;
};

class OddTable : public testing::TestWithParam<OddTableCase> {};

TEST_P(OddTable, RebuildKeepsEveryPartitionThatIsStillInItsPlace) {
    const OddTableCase& c = GetParam();
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    constexpr off_t rootfs = 7688LL * 512, varlocal = 826944LL * 512, userstore = 892480LL * 512;
    ASSERT_TRUE(test::write_bytes(image, rootfs + 100, "ROOT"));
    ASSERT_TRUE(test::write_bytes(image, varlocal + 100, "VARL"));
    test::write_file(dir / "dev/userstore/book.txt", "mine");
    std::filesystem::create_directory(dir / "dev/userstore/Notes");
    test::write_file(dir / "dev/userstore/Notes/update.bin.txt", "notes");
    const std::string table = test::read_bytes(image, 440, 72);
    const size_t store = test::range_digest(image, userstore, 8 << 20);
    ASSERT_TRUE(test::write_bytes(image, c.at, c.bytes));

    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find("INFO:Reinitializing partition table for /dev/mmcblk0\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("Nuked"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("INFO:Formatting userstore"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:No update*.bin found, no update needed.\n"), std::string::npos) << "the store mounts";
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");

    EXPECT_EQ(test::read_bytes(image, 440, 72), table) << "the same table, written whole again";
    EXPECT_EQ(test::read_bytes(image, rootfs + 100, 4), "ROOT");
    EXPECT_EQ(test::read_bytes(image, varlocal + 100, 4), "VARL");
    EXPECT_EQ(test::range_digest(image, userstore, 8 << 20), store);
    EXPECT_EQ(test::read_file(dir / "dev/userstore/book.txt"), "mine");
    EXPECT_EQ(test::read_file(dir / "dev/userstore/Notes/update.bin.txt"), "notes");
    const auto next = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(next.find("INFO:Partition table verified for /dev/mmcblk0\n"), std::string::npos) << next.output;
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, OddTable,
    testing::Values(OddTableCase{"boot_flag_of_entry_3_is_1", 446 + 32, std::string(1, '\x01')},
                    OddTableCase{"boot_flag_of_entry_1_is_0x81", 446, std::string(1, '\x81')},
                    OddTableCase{"signature_cleared", 510, std::string(2, '\0')}),
    test::ParamName());

// The same odd table over a user store whose first sector is blank, as a
// wipe that a power cut stopped short of the format leaves it: nothing of
// the owner's can be reached there, so the rebuild formats it and the
// store serves again; the other partitions in their places keep their data.
TEST(OddTableOverABlankUserStore, FormatsTheStoreAndKeepsTheRest) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    constexpr off_t rootfs = 7688LL * 512, varlocal = 826944LL * 512, userstore = 892480LL * 512;
    ASSERT_TRUE(test::write_bytes(image, rootfs + 100, "ROOT"));
    ASSERT_TRUE(test::write_bytes(image, varlocal + 100, "VARL"));
    ASSERT_TRUE(test::write_bytes(image, userstore, std::string(512, '\0')));
    ASSERT_TRUE(test::write_bytes(image, 446 + 32, std::string(1, '\x01')));

    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find("INFO:Reinitializing partition table for /dev/mmcblk0\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:Formatting userstore\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:No update*.bin found, no update needed.\n"), std::string::npos) << "the store mounts";
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    EXPECT_EQ(test::read_bytes(image, rootfs + 100, 4), "ROOT");
    EXPECT_EQ(test::read_bytes(image, varlocal + 100, 4), "VARL");
}

// Partitions whose entries are whole but whose device cannot be opened at
// this boot (a node not there yet, a read that fails) hold live data: the
// repair writes the same entries again and wipes and formats nothing.
struct UnopenedCase {
    const char* name;
    const char* fault;
};

class UnopenedPartition : public testing::TestWithParam<UnopenedCase> {};

TEST_P(UnopenedPartition, KeepsItsData) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    constexpr off_t rootfs = 7688LL * 512, varlocal = 826944LL * 512;
    ASSERT_TRUE(test::write_bytes(image, rootfs + 100, "ROOT"));
    ASSERT_TRUE(test::write_bytes(image, varlocal + 100, "VARL"));
    test::write_file(dir / "dev/userstore/book.txt", "mine");
    const std::string table = test::read_bytes(image, 440, 72);

    const auto run = test::run_sim({"boot", dir / "dev", "--fault", GetParam().fault});
    EXPECT_EQ(run.find("Nuked"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("INFO:Formatting userstore"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    EXPECT_EQ(test::read_bytes(image, 440, 72), table);
    EXPECT_EQ(test::read_bytes(image, rootfs + 100, 4), "ROOT");
    EXPECT_EQ(test::read_bytes(image, varlocal + 100, 4), "VARL");
    EXPECT_EQ(test::read_file(dir / "dev/userstore/book.txt"), "mine");
}

INSTANTIATE_TEST_SUITE_P(Devices, UnopenedPartition,
                         testing::Values(UnopenedCase{"varlocal", "vanish:/dev/mmcblk0p2"},
                                         UnopenedCase{"user_store", "vanish:/dev/mmcblk0p4"},
                                         UnopenedCase{"root_file_system", "vanish:/dev/mmcblk0p1"}),
                         test::ParamName());

// Tables edited by hand or damaged in the field, whose entries Linux still
// counts: the repair must never lay a partition over the root file system
// or another partition, and refuses to write a table whose entries overlap.
struct DamageCase {
    const char* name;
    std::vector<std::pair<int, std::string>> edits;  // entry number, its new 16 bytes (empty: type byte 0)
    const char* expected;                              // console line of the outcome
    bool rewritten;                                    // whether the table changed at all
};

class DamagedTable : public testing::TestWithParam<DamageCase> {
protected:
    void SetUp() override {
        mke2fs_ = test::find_tool("mke2fs");
        dumpe2fs_ = test::find_tool("dumpe2fs");
        sfdisk_ = test::find_tool("sfdisk");
        if (mke2fs_.empty() || dumpe2fs_.empty() || sfdisk_.empty())
            GTEST_SKIP() << "mke2fs, dumpe2fs (e2fsprogs) and sfdisk (util-linux) are needed";
        test::init_device(dir / "dev");
        ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
        // A real ext3 file system in partition 1, and marks in partition 3.
        const std::string ext3 = dir / "rootfs.img";
        ASSERT_EQ(test::run_tool(mke2fs_ + " -q -t ext3 -F " + ext3 + " 4M").status, 0);
        ASSERT_TRUE(test::write_bytes(image(), rootfs_at, test::read_file(ext3)));
        ASSERT_TRUE(test::write_bytes(image(), diags_at + 100, "DIAG"));
    }
    std::string image() const { return dir / "dev/mmc0.img"; }
    static constexpr off_t rootfs_at = 7688LL * 512;
    static constexpr uint64_t rootfs_bytes = 819256ULL * 512;
    static constexpr off_t diags_at = 876096LL * 512;

    test::TempDir dir;
    std::string mke2fs_, dumpe2fs_, sfdisk_;
};

TEST_P(DamagedTable, RepairNeverTouchesPartitionOneNorWritesOverlappingEntries) {
    const DamageCase& c = GetParam();
    for (const auto& [number, bytes] : c.edits) {
        const off_t entry = 446 + 16 * (number - 1);
        ASSERT_TRUE(bytes.empty() ? test::write_bytes(image(), entry + 4, std::string(1, '\0'))
                                  : test::write_bytes(image(), entry, bytes));
    }
    const std::string table = test::read_bytes(image(), 0, 512);
    const size_t rootfs = test::range_digest(image(), rootfs_at, rootfs_bytes);
    const size_t diags = test::range_digest(image(), diags_at, 16384 * 512);

    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find("INFO:Modifying partition table for /dev/mmcblk0\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find(c.expected), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");

    EXPECT_EQ(test::range_digest(image(), rootfs_at, rootfs_bytes), rootfs) << "partition 1 is never touched";
    const std::string extracted = dir / "p1.img";
    test::write_file(extracted, test::read_bytes(image(), rootfs_at, 4 << 20));
    const auto ext = test::run_tool(dumpe2fs_ + " -h " + extracted);
    EXPECT_EQ(ext.status, 0) << ext.output;
    EXPECT_NE(ext.output.find("Filesystem state:         clean"), std::string::npos) << ext.output;
    if (!c.rewritten) {
        EXPECT_EQ(test::read_bytes(image(), 0, 512), table) << "a refused repair leaves the disk as it was";
        EXPECT_EQ(run.find("Nuked"), std::string::npos);
        EXPECT_EQ(run.find("mkdosfs"), std::string::npos);
        return;
    }
    EXPECT_EQ(test::range_digest(image(), diags_at, 16384 * 512), diags) << "partition 3 kept its place";
    const auto verify = test::run_tool(sfdisk_ + " --verify " + image());
    EXPECT_EQ(verify.output.find("overlaps"), std::string::npos) << verify.output;
    EXPECT_NE(verify.output.find("No errors detected."), std::string::npos) << verify.output;
    const auto next = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(next.find("INFO:Partition table verified for /dev/mmcblk0\n"), std::string::npos) << next.output;
}

// A 16-byte entry with only its start and size set.
std::string entry(uint8_t type, uint32_t start, uint32_t count) {
    std::string bytes(16, '\0');
    bytes[4] = static_cast<char>(type);
    for (int i = 0; i < 4; ++i) {
        bytes[8 + i] = static_cast<char>(start >> (8 * i));
        bytes[12 + i] = static_cast<char>(count >> (8 * i));
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Edits, DamagedTable,
    testing::Values(
        // Partition 1 still counts; partitions 2 to 4 go after it.
        DamageCase{"type_byte_of_1_cleared_and_2_lost",
                   {{1, ""}, {2, std::string(16, '\0')}},
                   "INFO:partition 2, start sector is 826944\n",
                   true},
        // Partition 4 goes after partition 3, not to its start.
        DamageCase{"type_byte_of_3_cleared_and_4_lost",
                   {{3, ""}, {4, std::string(16, '\0')}},
                   "INFO:partition 4, start sector is 892480\n",
                   true},
        DamageCase{"partition_2_laid_over_1_and_4_lost",
                   {{2, entry(0x83, 8000, 49152)}, {4, std::string(16, '\0')}},
                   "ERROR:Partitions 1 and 2 overlap: not writing the table to /dev/mmcblk0\n",
                   false}),
    test::ParamName());

// The in-place repair stops at its first failure and writes nothing after
// it: the table stays as it was, nothing is wiped, nothing formatted.
struct RepairFailureCase {
    const char* name;
    std::vector<std::string> faults;
    std::string p1_entry;  // new bytes of entry 1, empty: kept
    const char* expected;
    const char* last_line = "SIM: exec /bin/kinit";
};

class RepairFailure : public testing::TestWithParam<RepairFailureCase> {};

TEST_P(RepairFailure, LeavesTheDiskAsItWas) {
    const RepairFailureCase& c = GetParam();
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    ASSERT_TRUE(test::write_bytes(image, 446 + 48, std::string(16, '\0')));  // partition 4 lost
    if (!c.p1_entry.empty()) {
        ASSERT_TRUE(test::write_bytes(image, 446, c.p1_entry));
    }
    const std::string before = test::read_bytes(image, 0, 512);
    std::vector<std::string> args = {"boot", dir / "dev"};
    for (const auto& fault : c.faults) args.insert(args.end(), {"--fault", fault});
    const auto run = test::run_sim(args);
    const size_t modifying = run.find("INFO:Modifying partition table for /dev/mmcblk0\n");
    ASSERT_NE(modifying, std::string::npos) << run.output;
    EXPECT_NE(run.find(c.expected, modifying), std::string::npos) << run.output;
    EXPECT_EQ(run.find("Nuked"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("INFO:Formatting userstore"), std::string::npos) << run.output;
    EXPECT_EQ(test::read_bytes(image, 0, 512), before);
    EXPECT_EQ(run.last_line(), c.last_line) << "the boot goes on";
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RepairFailure,
    testing::Values(
        // Without the disk the boot ends in the boot failure of error 200.
        RepairFailureCase{"device_cannot_be_opened", {"vanish:/dev/mmcblk0"}, "",
                          "ERROR:/dev/mmcblk0:No such file or directory(2)\n", "SIM: power-off"},
        // The boot prompt's test read is the first read of the disk.
        RepairFailureCase{"table_cannot_be_read", {"eio-read:/dev/mmcblk0:2"}, "",
                          "ERROR:Failed to partition disk /dev/mmcblk0\n"},
        RepairFailureCase{"no_room_for_the_user_store", {}, entry(0x83, 7688, (1u << 21) - 7688),
                          "EMERGENCY:!!! Partition table create failures !!!\n"},
        RepairFailureCase{"table_cannot_be_written", {"eio:/dev/mmcblk0:1"}, "",
                          "ERROR:/dev/mmcblk0:Input/output error(5)\n"}),
    test::ParamName());

TEST(LargeMmc, UserStoreIsCappedAtWhatAnEntryHolds) {
    const std::string sfdisk = test::find_tool("sfdisk");
    if (sfdisk.empty()) GTEST_SKIP() << "sfdisk (util-linux) is not installed";
    test::TempDir dir;
    test::init_device(dir / "dev", {"--mmc-size", "3072G"});
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find("WARNING:partition 4 holds only 4294967295 of 6441558464 sectors, the most an MBR entry "
                       "can hold\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    const auto parts = test::sfdisk_dump(sfdisk, dir / "dev/mmc0.img");
    ASSERT_EQ(parts.size(), 4u);
    EXPECT_EQ(parts[3].start, 892480u);
    EXPECT_EQ(parts[3].size, 4294967295u);
    const auto verify = test::run_tool(sfdisk + " --verify " + dir / "dev/mmc0.img");
    EXPECT_NE(verify.output.find("No errors detected."), std::string::npos) << verify.output;
}

TEST(UserStoreScenario, UpdateCheckLooksIntoTheUserStore) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    test::write_file(dir / "dev/userstore/update-a.bin", "a");
    test::write_file(dir / "dev/userstore/update-b.bin", "b");
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find("ERROR:Refusing to update: too many update files found.\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

// A folder of the owner's named like a bundle is no bundle: it is never
// opened as one, counted, waited on, renamed or removed. Beside it, a bundle
// file that is refused is the only thing that goes.
TEST(UserStoreScenario, FolderNamedLikeABundleIsLeftAlone) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string store = dir / "dev/userstore";
    std::filesystem::create_directory(store + "/update-photos.bin");
    test::write_file(store + "/update-photos.bin/beach.jpg", "sand");
    test::write_file(store + "/book.epub", "chapter one");
    test::write_file(dir / "script", "300 signal TERM\n");  // ends a Press R wait that nobody answers

    for (int boot = 1; boot <= 4; ++boot) {
        const auto run = test::run_sim({"boot", dir / "dev", "--script", dir / "script"});
        EXPECT_NE(run.find("INFO:No update*.bin found, no update needed.\n"), std::string::npos) << run.output;
        EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << "boot " << boot;
    }
    std::filesystem::create_directory(store + "/update.bin");
    test::write_file(store + "/update-1.bin", std::string(5000, 'x'));
    const auto refused = test::run_sim({"boot", dir / "dev", "--script", dir / "script"});
    EXPECT_NE(refused.find("INFO:removing /mnt-us/update-1.bin\n"), std::string::npos) << refused.output;

    EXPECT_FALSE(std::filesystem::exists(store + "/update-1.bin"));
    EXPECT_TRUE(std::filesystem::is_directory(store + "/update.bin"));
    EXPECT_EQ(test::read_file(store + "/update-photos.bin/beach.jpg"), "sand");
    EXPECT_EQ(test::read_file(store + "/book.epub"), "chapter one");
    EXPECT_FALSE(std::filesystem::exists(store + "/update-photos.bin.failed"));
}

// An entry 4 whose size was cut short: the FAT32 inside was made for the
// whole partition. The boot gives the entry its end back, and nothing else
// changes: the owner's books stay, nothing is wiped or formatted.
TEST(ShortUserStoreEntry, GetsItsEndBackAndKeepsTheStore) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    test::write_file(dir / "dev/userstore/book.txt", "mine");
    const std::string table = test::read_bytes(image, 440, 72);
    const size_t store = test::range_digest(image, 892480LL * 512, 8 << 20);
    const uint32_t half = 1204672 / 2;
    ASSERT_TRUE(test::write_bytes(image, 446 + 48 + 12, std::string(reinterpret_cast<const char*>(&half), 4)));

    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find("INFO:Partition 4 of /dev/mmcblk0 ends 602336 sectors short of its place, extending it\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.find("Nuked"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("INFO:Formatting userstore"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:No update*.bin found, no update needed.\n"), std::string::npos) << "the store mounts";
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    EXPECT_EQ(test::read_bytes(image, 440, 72), table);
    EXPECT_EQ(test::range_digest(image, 892480LL * 512, 8 << 20), store);
    EXPECT_EQ(test::read_file(dir / "dev/userstore/book.txt"), "mine");
    const auto next = test::run_sim({"boot", dir / "dev"});
    EXPECT_EQ(next.find("Writing out partition table"), std::string::npos) << next.output;
}

// A host that reformats the exported user store may type its own entry
// 0x0c (FAT32 addressed by LBA); the data is FAT32 either way. The boot
// still mounts the store, and a repair of a lost entry 4 keeps it.
TEST(UserStoreTypedByAHost, Fat32LbaEntryIsMountedAndKept) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    constexpr off_t userstore = 892480LL * 512;
    ASSERT_TRUE(test::write_bytes(image, userstore + 446 + 4, "\x0c"));
    test::write_file(dir / "dev/userstore/update.bin.txt", "notes");
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find("INFO:No update*.bin found, no update needed.\n"), std::string::npos) << run.output;

    ASSERT_TRUE(test::write_bytes(image, 446 + 48, std::string(16, '\0')));
    const auto repaired = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(repaired.find("INFO:Keeping partition 4 of /dev/mmcblk0 as it is\n"), std::string::npos)
        << repaired.output;
    EXPECT_EQ(repaired.find("INFO:Formatting userstore"), std::string::npos) << repaired.output;
    EXPECT_EQ(test::read_file(dir / "dev/userstore/update.bin.txt"), "notes");
}

// Lost entries over file systems that still lie where the map puts them:
// real ext3 file systems (mke2fs) in partitions 1 and 2, the owner's books
// in the user store. Whatever part of the table went (one entry, every
// entry, the whole sector), the repair writes the entries back and wipes
// nothing: every byte of the two file systems and of the user store stays,
// they check clean, and the books are there. Before, the repair zeroed the
// first cylinder of partitions 1 and 2 ("Nuked ..."): the root file system
// or the variable data was gone.
struct LostEntryCase {
    const char* name;
    off_t at;  // the bytes of the MBR cleared
    size_t count;
    const char* announced;
};

void PrintTo(const LostEntryCase& c, std::ostream* os) { *os << c.name; }

class LostEntry : public testing::TestWithParam<LostEntryCase> {};

TEST_P(LostEntry, FileSystemsInTheirPlaceKeepEveryByte) {
    const LostEntryCase& c = GetParam();
    const std::string mke2fs = test::find_tool("mke2fs"), e2fsck = test::find_tool("e2fsck");
    if (mke2fs.empty() || e2fsck.empty()) GTEST_SKIP() << "mke2fs and e2fsck (e2fsprogs) are needed";
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    constexpr off_t rootfs = 7688LL * 512, varlocal = 826944LL * 512, userstore = 892480LL * 512;
    const std::pair<off_t, const char*> file_systems[] = {{rootfs, "16M"}, {varlocal, "24M"}};
    for (const auto& [at, size] : file_systems) {
        const std::string made = dir / "ext3.img";
        std::filesystem::remove(made);
        ASSERT_EQ(test::run_tool(mke2fs + " -q -t ext3 -F -L quillmar " + made + " " + size).status, 0);
        ASSERT_TRUE(test::write_bytes(image, at, test::read_file(made)));
    }
    test::write_file(dir / "dev/userstore/book.txt", "mine");
    const std::string table = test::read_bytes(image, 440, 72);
    const size_t root_bytes = test::range_digest(image, rootfs, 16 << 20);
    const size_t var_bytes = test::range_digest(image, varlocal, 24 << 20);
    const size_t store_bytes = test::range_digest(image, userstore, 16 << 20);
    ASSERT_TRUE(test::write_bytes(image, c.at, std::string(c.count, '\0')));

    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(run.find(c.announced), std::string::npos) << run.output;
    EXPECT_EQ(run.find("Nuked"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("INFO:Formatting userstore"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    // The disk identifier of a cleared sector is a new one; the entries are
    // the map's again.
    EXPECT_EQ(test::read_bytes(image, 446, 66), table.substr(6));
    EXPECT_EQ(test::range_digest(image, rootfs, 16 << 20), root_bytes) << "partition 1";
    EXPECT_EQ(test::range_digest(image, varlocal, 24 << 20), var_bytes) << "partition 2";
    EXPECT_EQ(test::range_digest(image, userstore, 16 << 20), store_bytes) << "partition 4";
    for (const auto& [at, size] : file_systems) {
        const std::string extracted = dir / "extracted.img";
        test::write_file(extracted, test::read_bytes(image, at, std::string(size) == "16M" ? 16 << 20 : 24 << 20));
        const auto checked = test::run_tool(e2fsck + " -fn " + extracted);
        EXPECT_EQ(checked.status, 0) << checked.output;
    }
    EXPECT_EQ(test::read_file(dir / "dev/userstore/book.txt"), "mine");
    const auto next = test::run_sim({"boot", dir / "dev"});
    EXPECT_NE(next.find("INFO:Partition table verified for /dev/mmcblk0\n"), std::string::npos) << next.output;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, LostEntry,
    testing::Values(LostEntryCase {"entry_1", 446, 16, "INFO:Keeping partition 1 of /dev/mmcblk0 as it is\n"},
                    LostEntryCase {"entry_2", 446 + 16, 16, "INFO:Keeping partition 2 of /dev/mmcblk0 as it is\n"},
                    LostEntryCase {"entries_1_and_2", 446, 32, "INFO:Keeping partition 2 of /dev/mmcblk0 as it is\n"},
                    // Partition 4 must come back after partition 3, not in its place.
                    LostEntryCase {"entries_3_and_4", 446 + 32, 32,
                                   "INFO:Keeping partition 4 of /dev/mmcblk0 as it is\n"},
                    LostEntryCase {"every_entry", 446, 64,
                                   "INFO:Keeping partition 1 of /dev/mmcblk0 as it is\n"
                                   "INFO:Keeping partition 2 of /dev/mmcblk0 as it is\n"},
                    LostEntryCase {"whole_sector", 0, 512,
                                   "INFO:Keeping partition 1 of /dev/mmcblk0 as it is\n"
                                   "INFO:Keeping partition 2 of /dev/mmcblk0 as it is\n"}),
    test::ParamName());

// An entry 4 moved by a stray write onto a stretch of zeros: one cylinder
// into the user store (between its own table and its FAT), or into
// VarLocal. That blank start is no store whose format was cut short: a
// format there writes a table and a FAT32 over the owner's books or the
// variable data. Nothing is formatted, and every byte of both stays.
struct MovedEntryCase {
    const char* name;
    uint32_t start;  // the entry then runs to the end of the disk
};

void PrintTo(const MovedEntryCase& c, std::ostream* os) { *os << c.name; }

class MovedUserStoreEntry : public testing::TestWithParam<MovedEntryCase> {};

TEST_P(MovedUserStoreEntry, IsNotFormattedWhereItPoints) {
    const MovedEntryCase& c = GetParam();
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img";
    constexpr off_t varlocal = 826944LL * 512, userstore = 892480LL * 512;
    ASSERT_TRUE(test::write_bytes(image, varlocal, std::string(1 << 20, 'v')));
    test::write_file(dir / "dev/userstore/book.txt", "mine");
    const size_t var_bytes = test::range_digest(image, varlocal, 24 << 20);
    const size_t store_bytes = test::range_digest(image, userstore, 16 << 20);
    const uint32_t entry[2] = {c.start, 2097152 - c.start};
    ASSERT_TRUE(test::write_bytes(image, 446 + 48 + 8, std::string(reinterpret_cast<const char*>(entry), 8)));

    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_EQ(run.find("INFO:Formatting userstore"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    EXPECT_EQ(test::range_digest(image, varlocal, 24 << 20), var_bytes) << "VarLocal";
    EXPECT_EQ(test::range_digest(image, userstore, 16 << 20), store_bytes) << "the user store";
    EXPECT_EQ(test::read_file(dir / "dev/userstore/book.txt"), "mine");
}

INSTANTIATE_TEST_SUITE_P(Entries, MovedUserStoreEntry,
                         testing::Values(MovedEntryCase {"one_cylinder_on", 892480 + 64},
                                         MovedEntryCase {"into_varlocal", 826944 + 4096}),
                         test::ParamName());

// A host may format the exported user store whole, without a table of its
// own: a FAT32 (mkfs.fat) or an ext4 (mke2fs), whose first sector is all
// zeros. Such a store is the owner's: with the MMC's table intact, with
// entry 4 lost, or with the whole table lost, no boot formats or wipes it,
// and the first 64 MiB of partition 4 keep every byte. The FAT32 is read
// whole for updates; the ext4, which the reader cannot read, is reported.
struct HostFormatCase {
    const char* name;
    const char* format;  // the host's command, given the image last
    off_t cleared_at;    // the bytes of the MBR cleared
    size_t cleared_count;
    const char* said;  // a line every boot prints
};

void PrintTo(const HostFormatCase& c, std::ostream* os) { *os << c.name; }

class HostFormattedStore : public testing::TestWithParam<HostFormatCase> {};

constexpr const char* fat_read = "INFO:No update*.bin found, no update needed.";
constexpr const char* ext_kept =
    "ERROR:Partition 4 of /dev/mmcblk0 holds an ext file system without a table of its own; keeping it as it is";

TEST_P(HostFormattedStore, IsNeverFormattedOrWiped) {
    const HostFormatCase& c = GetParam();
    const std::string format = std::string(c.format);
    const std::string tool = test::find_tool(format.substr(0, format.find(' ')));
    if (tool.empty()) GTEST_SKIP() << format << " is not installed";
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    const std::string image = dir / "dev/mmc0.img", made = dir / "host.img";
    constexpr off_t userstore = 892480LL * 512;
    test::write_file(made, "");
    std::filesystem::resize_file(made, 64 << 20);
    ASSERT_EQ(test::run_tool(tool + format.substr(format.find(' ')) + " " + made).status, 0);
    ASSERT_TRUE(test::write_bytes(image, userstore, test::read_file(made)));
    ASSERT_TRUE(test::write_bytes(image, c.cleared_at, std::string(c.cleared_count, '\0')));
    const size_t store_bytes = test::range_digest(image, userstore, 64 << 20);

    for (int boot = 1; boot <= 2; ++boot) {
        const auto run = test::run_sim({"boot", dir / "dev"});
        EXPECT_EQ(run.find("INFO:Formatting userstore"), std::string::npos) << run.output;
        EXPECT_EQ(run.find("filesystem in partition 4("), std::string::npos) << run.output;
        EXPECT_NE(run.find(c.said), std::string::npos) << run.output;
        EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
        EXPECT_EQ(test::range_digest(image, userstore, 64 << 20), store_bytes) << "boot " << boot;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Stores, HostFormattedStore,
    testing::Values(HostFormatCase {"fat32_table_intact", "mkfs.fat -F 32 -n HOST", 0, 0, fat_read},
                    HostFormatCase {"fat32_entry_4_lost", "mkfs.fat -F 32 -n HOST", 446 + 48, 16, fat_read},
                    HostFormatCase {"fat32_table_lost", "mkfs.fat -F 32 -n HOST", 0, 512, fat_read},
                    HostFormatCase {"ext4_table_intact", "mke2fs -q -t ext4 -F", 0, 0, ext_kept},
                    HostFormatCase {"ext4_entry_4_lost", "mke2fs -q -t ext4 -F", 446 + 48, 16, ext_kept},
                    HostFormatCase {"ext4_table_lost", "mke2fs -q -t ext4 -F", 0, 512, ext_kept}),
    test::ParamName());

// What util-linux, dosfstools and mtools find wrong with the user store of
// an MMC image: its entry, its own table and its FAT32; empty when it is
// sound and its root directory can be listed.
std::string user_store_problems(const std::string& image, const std::string& work) {
    const std::string sfdisk = test::find_tool("sfdisk"), fsck = test::find_tool("fsck.fat"),
                      mdir = test::find_tool("mdir");
    const auto outer = test::sfdisk_dump(sfdisk, image);
    if (outer.size() != 4 || outer[3].type != "b") return "no user store entry";
    const std::string store = work + "/store.img";
    test::write_file(store, test::read_bytes(image, static_cast<off_t>(outer[3].start * 512), 512));
    std::filesystem::resize_file(store, outer[3].size * 512);
    const auto inner = test::sfdisk_dump(sfdisk, store);
    if (inner.size() != 1 || inner[0].type != "b") return "no FAT32 entry in the user store's own table";
    const std::string fat = work + "/fat.img";
    test::write_file(fat,
                     test::read_bytes(image, static_cast<off_t>((outer[3].start + inner[0].start) * 512), 4 << 20));
    std::filesystem::resize_file(fat, (outer[3].size - inner[0].start) * 512);
    const auto checked = test::run_tool(fsck + " -n " + fat);
    if (checked.status != 0) return "fsck.fat: " + checked.output;
    const auto listed = test::run_tool("MTOOLS_SKIP_CHECK=1 " + mdir + " -i " + fat + " ::/");
    if (listed.status != 0 || listed.output.find("Tavrin") == std::string::npos) return "mdir: " + listed.output;
    return "";
}

int sweep_stride() {
    const char* text = std::getenv("QM_SWEEP_STRIDE");
    const int n = text != nullptr ? std::atoi(text) : 1;
    return n > 0 ? n : 1;
}

// A power cut after every write of a boot that lays out or repairs the
// MMC: a blank reader's first boot, and a repair that recreates partition 4
// over a start that holds no user store. The boots after it must end with a
// user store that util-linux, dosfstools and mtools find sound and that the
// reader mounts, so that updates can come; before, a cut between the wipe
// and the format left a table that verified over a store never formatted.
struct LayoutCutCase {
    const char* name;
    std::vector<std::string> init;
    bool repair;  // cut the repair of a provisioned reader, not its first boot
};

void PrintTo(const LayoutCutCase& c, std::ostream* os) { *os << c.name; }

class LayoutCut : public testing::TestWithParam<LayoutCutCase> {};

TEST_P(LayoutCut, EveryCutEndsWithAUserStoreThatMounts) {
    const LayoutCutCase& c = GetParam();
    if (test::find_tool("sfdisk").empty() || test::find_tool("fsck.fat").empty() || test::find_tool("mdir").empty())
        GTEST_SKIP() << "util-linux, dosfstools and mtools are needed";
    test::TempDir dir;
    const std::string prepared = dir / "prepared";
    test::init_device(prepared, c.init);
    if (c.repair) {
        ASSERT_EQ(test::run_sim({"boot", prepared}).last_line(), "SIM: exec /bin/kinit");
        const std::string image = prepared + "/mmc0.img";
        const auto outer = test::sfdisk_dump(test::find_tool("sfdisk"), image);
        ASSERT_EQ(outer.size(), 4u);
        ASSERT_TRUE(test::write_bytes(image, 446 + 48, std::string(16, '\0')));
        ASSERT_TRUE(test::write_bytes(image, static_cast<off_t>(outer[3].start * 512), std::string(512, 'x')));
    }
    int cuts = 0;
    for (int n = 1;; n += sweep_stride()) {
        ASSERT_LT(n, 100) << "the boot never ended";
        const std::string dev = dir / ("dev" + std::to_string(n));
        ASSERT_EQ(std::system(("cp -a --sparse=always " + prepared + " " + dev).c_str()), 0);
        const auto first = test::run_sim({"boot", dev, "--fault", "powercut:" + std::to_string(n)});
        if (!first.contains("(power cut after write " + std::to_string(n) + ")")) {
            EXPECT_TRUE(first.contains("INFO:No update*.bin found, no update needed.\n")) << first.output;
            std::filesystem::remove_all(dev);
            break;
        }
        ++cuts;
        std::string transcript = first.output;
        bool mounted = false;
        for (int boot = 0; boot < 2 && !mounted; ++boot) {
            const auto next = test::run_sim({"boot", dev});
            transcript += next.output;
            EXPECT_EQ(next.last_line(), "SIM: exec /bin/kinit");
            mounted = next.contains("INFO:No update*.bin found, no update needed.\n");
        }
        EXPECT_TRUE(mounted) << "cut after write " << n << "\n" << transcript;
        EXPECT_EQ(user_store_problems(dev + "/mmc0.img", dir.path()), "") << "cut after write " << n;
        std::filesystem::remove_all(dev);
    }
    EXPECT_GT(cuts, 3);
}

INSTANTIATE_TEST_SUITE_P(Boots, LayoutCut,
                         testing::Values(LayoutCutCase {"mmc_boot_first_boot", {}, false},
                                         LayoutCutCase {"nor_boot_first_boot", {"--family", "nor"}, false},
                                         LayoutCutCase {"mmc_boot_repair", {}, true},
                                         LayoutCutCase {"nor_boot_repair", {"--family", "nor"}, true}),
                         test::ParamName());

}  // namespace

// Mounts and the loop device of the user store on the simulated device.
#include "storage/mount.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "boot/process_state.h"

#include <filesystem>

#include "boot/provision.h"
#include "platform/boardid.h"
#include "support/image_bytes.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

struct InnerEntry {
    int slot;
    uint8_t type;
    uint32_t start;
};

std::string mbr_with(const std::vector<InnerEntry>& entries) {
    std::string sector(512, '\0');
    for (const auto& e : entries) {
        const size_t at = 446 + 16 * (e.slot - 1);
        sector[at + 4] = static_cast<char>(e.type);
        for (int i = 0; i < 4; ++i) sector[at + 8 + i] = static_cast<char>(e.start >> (8 * i));
        sector[at + 12] = 100;
    }
    sector[510] = '\x55';
    sector[511] = '\xAA';
    return sector;
}

class MountTest : public testing::Test {
protected:
    void SetUp() override {
        qm::g_offset_mmc = 0x3C1000;
        ASSERT_EQ(qm::partition_disk("/dev/mmcblk0", "MMC0"), 1);
        device.take_console();
    }
    void TearDown() override { qm::process_state_reset(); }
    std::string image() { return device.host("mmc0.img"); }
    off_t userstore() { return 892480LL * 512; }
    const sim::LoopBinding* loop0() { return device.kernel().storage().loops.bound(0); }

    test::SimDevice device;
};

struct LoopCase {
    const char* name;
    std::vector<InnerEntry> entries;
    bool ok;
    uint32_t start;
    const char* refusal;  // the last console line of a refusal
};

class LosetupFat : public MountTest, public testing::WithParamInterface<LoopCase> {};

TEST_P(LosetupFat, AttachesAtTheFirstFat32Partition) {
    const LoopCase& c = GetParam();
    ASSERT_TRUE(test::write_bytes(image(), userstore(), mbr_with(c.entries)));
    EXPECT_EQ(qm::losetup_fat("/dev/mmcblk0p4", "/dev/loop0"), c.ok ? 1 : 0);
    const std::string console = device.console();
    if (!c.ok) {
        ASSERT_GE(console.size(), std::string(c.refusal).size());
        EXPECT_EQ(console.substr(console.size() - std::string(c.refusal).size()), c.refusal) << console;
        EXPECT_EQ(loop0(), nullptr);
        return;
    }
    ASSERT_NE(loop0(), nullptr);
    EXPECT_EQ(loop0()->backing, "/dev/mmcblk0p4");
    EXPECT_EQ(loop0()->info.lo_offset, static_cast<int>(c.start * 512));
    EXPECT_STREQ(loop0()->info.lo_name, "/dev/mmcblk0p4");
    EXPECT_EQ(console.find("/dev/mmcblk0p4:\nCHS="), 0u) << "the inner table is shown first";
    EXPECT_NE(console.find("INFO:Setup loop device /dev/loop0 for /dev/mmcblk0p4 + " + std::to_string(c.start * 512) +
                           "\n"),
              std::string::npos)
        << console;
}

INSTANTIATE_TEST_SUITE_P(
    InnerTables, LosetupFat,
    testing::Values(LoopCase{"fat_in_slot_3", {{1, 0x83, 64}, {3, 0x0b, 4096}}, true, 4096, ""},
                    LoopCase{"two_fats_lower_slot_wins", {{2, 0x0b, 8192}, {4, 0x0b, 100}}, true, 8192, ""},
                    // What a host may write when it reformats the exported
                    // disk: FAT32 all the same.
                    LoopCase{"fat32_lba_is_taken", {{1, 0x0c, 7688}}, true, 7688, ""},
                    LoopCase{"fat32_type_0b_comes_before_0c", {{1, 0x0c, 64}, {3, 0x0b, 4096}}, true, 4096, ""},
                    LoopCase{"fat16_is_refused", {{1, 0x06, 7688}}, false, 0,
                             "ERROR:Could not find partition 0x0b on /dev/mmcblk0p4\n"},
                    // The loop record's offset is a signed 32-bit number: a
                    // wrapped offset would point into other data.
                    LoopCase{"offset_beyond_2_gib_is_refused", {{1, 0x0b, 4194304}}, false, 0,
                             "ERROR:Failed to set up loop device /dev/loop0 for /dev/mmcblk0p4: Value too large for "
                             "defined data type\n"}),
    test::ParamName());

TEST_F(MountTest, MissingGeometryDoesNotStopTheLoopSetUp) {
    // A regular file has no geometry; its name is longer than the loop
    // record holds.
    const std::string name = "/" + std::string(70, 'n') + ".img";
    test::write_file(device.host(name.substr(1)), mbr_with({{1, 0x0b, 63}}) + std::string(1 << 16, '\0'));
    EXPECT_EQ(qm::losetup_fat(name.c_str(), "/dev/loop0"), 1);
    const std::string console = device.console();
    const std::string no_geometry = "ERROR:" + name + ":Inappropriate ioctl for device(25)\n";
    EXPECT_EQ(console.find(no_geometry + no_geometry + name + ":\nCHS=0/0/0 size=0 bytes\n"), 0u) << console;
    ASSERT_NE(loop0(), nullptr);
    EXPECT_EQ(loop0()->info.lo_offset, 63 * 512);
    EXPECT_EQ(std::string(loop0()->info.lo_name), name.substr(0, 63));
}

TEST_F(MountTest, UserStoreMountsOnMntUsAndABusyUnmountDetachesLazily) {
    ASSERT_EQ(qm::run_mkfs("/dev/mmcblk0"), 1);
    device.take_console();
    auto& k = device.kernel();
    ASSERT_EQ(qm::mount_dosfs(), 1) << device.console();
    qm::losetup_clear("/dev/loop0");
    ASSERT_NE(loop0(), nullptr) << "a mounted loop device stays attached";
    const int fd = k.open("/mnt-us/update.bin", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(std::filesystem::exists(device.host("userstore/update.bin")));
    device.take_console();

    EXPECT_EQ(qm::unmount_dosfs(), 0);
    EXPECT_EQ(device.take_console(), "ERROR:/mnt-us:Device or resource busy(16)\nERROR:Trouble unmounting FAT partition\n");
    EXPECT_FALSE(k.mounts().mounted_on("/mnt-us")) << "lazily detached";
    EXPECT_EQ(loop0(), nullptr) << "the loop clear follows the lazy detach";
    EXPECT_EQ(k.alarm(0), 0u) << "the watchdog is off again";
    k.close(fd);

    ASSERT_EQ(qm::mount_dosfs(), 1);
    device.take_console();
    EXPECT_EQ(qm::unmount_dosfs(), 1);
    EXPECT_EQ(device.console(), "");
    EXPECT_EQ(loop0(), nullptr);
}

TEST_F(MountTest, UserStoreWithoutTableOrWithoutFatIsNotMounted) {
    EXPECT_EQ(qm::mount_dosfs(), 0);
    EXPECT_EQ(device.take_console(), "ERROR:Could not find partition 0x0b on /dev/mmcblk0p4\n"
                                     "ERROR:Unable to access /dev/mmcblk0p4:Cannot update OS\n");
    ASSERT_TRUE(test::write_bytes(image(), userstore(), mbr_with({{1, 0x0b, 7688}})));
    EXPECT_EQ(qm::mount_dosfs(), 0);
    const std::string console = device.console();
    EXPECT_NE(console.find("ERROR:/dev/loop0:Invalid argument(22)\n"), std::string::npos) << console;
    EXPECT_EQ(loop0(), nullptr) << "a failed mount leaves no loop device behind";
    EXPECT_FALSE(device.kernel().mounts().mounted_on("/mnt-us"));
}

TEST_F(MountTest, RootFileSystemMountsOnlyWithAnExtSuperblock) {
    EXPECT_EQ(qm::mount_rootfs(), 0);
    EXPECT_EQ(device.take_console(), "ERROR:/dev/mmcblk0p1:Invalid argument(22)\n");
    ASSERT_TRUE(test::write_bytes(image(), 7688LL * 512 + 1080, "\x53\xEF"));
    ASSERT_EQ(qm::mount_rootfs(), 1);
    auto& k = device.kernel();
    // A file system error must not leave the root writable.
    ASSERT_NE(k.mounts().holding("/mnt-rootfs"), nullptr);
    EXPECT_EQ(k.mounts().holding("/mnt-rootfs")->data, "errors=remount-ro");
    const int fd = k.open("/mnt-rootfs/ENABLE_DIAGS", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(std::filesystem::exists(device.host("rootfs/ENABLE_DIAGS")));
    EXPECT_EQ(qm::unmount_rootfs(), 0);
    EXPECT_EQ(device.take_console(),
              "ERROR:/mnt-rootfs:Device or resource busy(16)\nERROR:Trouble unmounting ext3 partition\n");
    k.close(fd);
    ASSERT_EQ(qm::mount_rootfs(), 1);
    EXPECT_EQ(qm::unmount_rootfs(), 1);
}

TEST_F(MountTest, SecondCardIsMountedOnlyWhenPresent) {
    EXPECT_EQ(qm::mount_mmc(), 0);
    EXPECT_EQ(device.console(), "ERROR:/dev/mmcblk1p1:No such file or directory(2)\n");
}

TEST(SecondCard, MountsItsFirstPartitionOnMntUs) {
    sim::InitOptions options;
    options.card_size = 32 << 20;
    test::SimDevice device(options);
    test::write_file(device.host("card/update-card.bin"), "x");
    ASSERT_EQ(qm::mount_mmc(), 1) << device.console();
    struct stat status {};
    EXPECT_EQ(device.kernel().stat("/mnt-us/update-card.bin", &status), 0);
    EXPECT_EQ(qm::unmount_mmc(), 1);
    EXPECT_EQ(device.console(), "");
}

}  // namespace

// The simulated storage devices answer as Linux does: partition tables,
// loop devices, NOR flash, mkdosfs and the making of devices.
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <linux/ioctl.h>
#include <mtd/mtd-abi.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cstring>

#include "sim/dev/mmc.h"
#include "support/host_tools.h"
#include "support/image_bytes.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

std::string sector_with(uint8_t flag, uint32_t start, uint32_t count, bool signed_sector = true) {
    std::string sector(512, '\0');
    sector[446] = static_cast<char>(flag);
    sector[446 + 4] = 0x83;
    for (int i = 0; i < 4; ++i) {
        sector[446 + 8 + i] = static_cast<char>(start >> (8 * i));
        sector[446 + 12 + i] = static_cast<char>(count >> (8 * i));
    }
    if (signed_sector) sector.replace(510, 2, "\x55\xAA");
    return sector;
}

struct TableCase {
    const char* name;
    std::string sector;
    size_t partitions;
    off_t length;  // of the first one
};

class MsdosTable : public testing::TestWithParam<TableCase> {};

TEST_P(MsdosTable, IsReadAsLinuxReadsIt) {
    const TableCase& c = GetParam();
    const auto windows =
        sim::read_msdos_table(reinterpret_cast<const uint8_t*>(c.sector.data()), off_t{10000} * 512);
    ASSERT_EQ(windows.size(), c.partitions);
    if (c.partitions != 0) {
        EXPECT_EQ(windows[0].length, c.length);
    }
}

INSTANTIATE_TEST_SUITE_P(Rules, MsdosTable,
                         testing::Values(TableCase{"plain", sector_with(0x80, 100, 200), 1, 200 * 512},
                                         TableCase{"no_signature", sector_with(0x80, 100, 200, false), 0, 0},
                                         TableCase{"bad_boot_flag", sector_with(0x12, 100, 200), 0, 0},
                                         TableCase{"no_size", sector_with(0x00, 100, 0), 0, 0},
                                         TableCase{"cut_at_the_end", sector_with(0x00, 9000, 5000), 1, 1000 * 512},
                                         TableCase{"beyond_the_end", sector_with(0x00, 10000, 5), 0, 0}),
                         test::ParamName());

class SimStorage : public testing::Test {
protected:
    int open(const char* path, int flags = O_RDWR) { return device.kernel().open(path, flags, 0); }
    void write_table() {
        // p1 at sector 2048 of 8192 sectors, holding a recognisable byte.
        ASSERT_TRUE(test::write_bytes(device.host("mmc0.img"), 0, sector_with(0x00, 2048, 8192)));
        ASSERT_TRUE(test::write_bytes(device.host("mmc0.img"), 2048 * 512 + 4096, "P1"));
        const int disk = open("/dev/mmcblk0");
        ASSERT_EQ(device.kernel().ioctl(disk, BLKRRPART, nullptr), 0);
        device.kernel().close(disk);
    }
    test::SimDevice device;
};

TEST_F(SimStorage, LoopDeviceReadsFromItsOffsetAndGuardsItsState) {
    write_table();
    auto& k = device.kernel();
    const int partition = open("/dev/mmcblk0p1");
    const int loop = open("/dev/loop0");
    loop_info info {};
    EXPECT_EQ(k.ioctl(loop, LOOP_SET_STATUS, &info), -1);
    EXPECT_EQ(errno, ENXIO);
    ASSERT_EQ(k.ioctl(loop, LOOP_SET_FD, reinterpret_cast<void*>(intptr_t{partition})), 0);
    EXPECT_EQ(k.ioctl(loop, LOOP_SET_FD, reinterpret_cast<void*>(intptr_t{partition})), -1);
    EXPECT_EQ(errno, EBUSY);
    k.close(partition);
    info.lo_offset = 4096;
    ASSERT_EQ(k.ioctl(loop, LOOP_SET_STATUS, &info), 0);
    char bytes[2];
    ASSERT_EQ(k.read(loop, bytes, 2), 2);
    EXPECT_EQ(std::string(bytes, 2), "P1");
    unsigned long sectors = 0;
    ASSERT_EQ(k.ioctl(loop, BLKGETSIZE, &sectors), 0);
    EXPECT_EQ(sectors, 8192u - 8);

    // The attached partition keeps its disk busy, even with no descriptor open.
    const int disk = open("/dev/mmcblk0");
    EXPECT_EQ(k.ioctl(disk, BLKRRPART, nullptr), -1);
    EXPECT_EQ(errno, EBUSY);
    ASSERT_EQ(k.ioctl(loop, LOOP_CLR_FD, nullptr), 0);
    EXPECT_EQ(k.ioctl(loop, LOOP_CLR_FD, nullptr), -1);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(k.ioctl(disk, BLKRRPART, nullptr), 0);
    k.close(disk);
    k.close(loop);
}

TEST_F(SimStorage, LoopDeviceMountsOnlyTheFileSystemsOfTheDevice) {
    write_table();
    auto& k = device.kernel();
    const int partition = open("/dev/mmcblk0p1");
    const int loop = open("/dev/loop1");
    ASSERT_EQ(k.ioctl(loop, LOOP_SET_FD, reinterpret_cast<void*>(intptr_t{partition})), 0);
    k.close(partition);
    k.mkdir("/mnt", 0777);
    EXPECT_EQ(k.mount("/dev/loop1", "/mnt", "vfat", 0, ""), -1) << "p1 holds none of the device's file systems";
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(k.mount("/dev/loop1", "/mnt", "ntfs", 0, ""), -1);
    EXPECT_EQ(errno, ENODEV);
    k.close(loop);
}

TEST_F(SimStorage, MountRecordsItsOptionsAndRefusesUnknownOnes) {
    write_table();
    ASSERT_TRUE(test::write_bytes(device.host("mmc0.img"), 2048LL * 512 + 1080, "\x53\xEF"));
    auto& k = device.kernel();
    k.mkdir("/mnt", 0777);
    EXPECT_EQ(k.mount("/dev/mmcblk0p1", "/mnt", "ext3", 0, "errors=remount-ro,bogus"), -1);
    EXPECT_EQ(errno, EINVAL) << "as Linux refuses an option the file system does not know";
    ASSERT_EQ(k.mount("/dev/mmcblk0p1", "/mnt", "ext3", MS_NOATIME, "errors=remount-ro"), 0);
    const sim::Mount* mount = k.mounts().holding("/mnt");
    ASSERT_NE(mount, nullptr);
    EXPECT_EQ(mount->data, "errors=remount-ro");
    EXPECT_EQ(mount->flags, static_cast<unsigned long>(MS_NOATIME));
}

TEST_F(SimStorage, MkdosfsRefusesWhatItCannotDo) {
    auto& k = device.kernel();
    EXPECT_EQ(k.system("/bin/mkdosfs -F 16 /dev/mmcblk0"), 256);
    EXPECT_EQ(k.system("/bin/mkdosfs -F 32 -n X /dev/nothing"), 256);
    EXPECT_EQ(k.system("/bin/mkdosfs -F 32 -n X /dev/loop3"), 256) << "nothing attached, nothing to format";
    EXPECT_EQ(device.console(),
              "mkdosfs: only FAT32 is simulated (-F 16)\n"
              "mkdosfs: unable to open /dev/nothing: No such file or directory\n"
              "mkdosfs: /dev/loop3: too small to hold a file system\n");
}

sim::InitOptions nor_options() {
    sim::InitOptions options;
    options.family = "nor";
    return options;
}

TEST(SimNor, CharacterDeviceProgramsBitsAndErasesUnlockedBlocks) {
    test::SimDevice device(nor_options());
    auto& k = device.kernel();
    const int fd = k.open("/dev/mtd/0", O_RDWR, 0);
    EXPECT_EQ(k.write(fd, "\x0F", 1), -1);
    EXPECT_EQ(errno, EROFS);
    erase_info_user range {0, 128 * 1024};
    ASSERT_EQ(k.ioctl(fd, MEMUNLOCK, &range), 0);
    ASSERT_EQ(k.write(fd, "\x0F", 1), 1);
    k.lseek(fd, 0, SEEK_SET);
    ASSERT_EQ(k.write(fd, "\xF3", 1), 1);
    EXPECT_EQ(test::read_bytes(device.host("mtd0.img"), 0, 2), "\x03\xFF") << "bits only go from 1 to 0";
    ASSERT_EQ(k.ioctl(fd, MEMERASE, &range), 0);
    EXPECT_EQ(test::read_bytes(device.host("mtd0.img"), 0, 1), "\xFF");
    erase_info_user second_block {128 * 1024, 128 * 1024};
    EXPECT_EQ(k.ioctl(fd, MEMERASE, &second_block), -1) << "the second erase block is still locked";
    EXPECT_EQ(errno, EIO);
    erase_info_user beyond {0, 512 * 1024};
    EXPECT_EQ(k.ioctl(fd, MEMLOCK, &beyond), -1);
    EXPECT_EQ(errno, EINVAL);
    k.close(fd);
}

TEST(SimInit, FamilyAndBoardMustAgree) {
    test::TempDir dir;
    sim::InitOptions options = nor_options();
    options.board_id = "P1A0230000000000";
    std::string error;
    EXPECT_FALSE(sim::init_device(dir / "dev", options, error));
    EXPECT_EQ(error, "board P1A0230000000000 does not belong to the nor family");
    options.family = "";
    options.board_id = "D00";
    ASSERT_TRUE(sim::init_device(dir / "dev", options, error)) << error;
    EXPECT_EQ(test::read_file(dir / "dev/proc/board_id"), "D00\n");
    EXPECT_EQ(test::read_file(dir / "dev/mtd1.img"), std::string(3 << 20, '\xFF'));
}

TEST(SimInit, SecondCardHasOneFatPartitionUtilLinuxCanRead) {
    const std::string sfdisk = test::find_tool("sfdisk");
    if (sfdisk.empty()) GTEST_SKIP() << "sfdisk (util-linux) is not installed";
    sim::InitOptions options;
    options.card_size = 16 << 20;
    test::SimDevice device(options);
    const auto parts = test::sfdisk_dump(sfdisk, device.host("mmc1.img"));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0].start, 2048u);
    EXPECT_EQ(parts[0].size, 32768u - 2048);
    EXPECT_EQ(parts[0].type, "b");
}

}  // namespace

// NOR flash partitions of a NOR-boot board on the simulated device.
#include "storage/mtd.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "support/image_bytes.h"
#include "support/simkernel.h"

namespace {

sim::InitOptions nor_board(bool kernel2 = true) {
    sim::InitOptions options;
    options.family = "nor";
    options.nor_kernel2 = kernel2;
    return options;
}

TEST(Mtd, PartitionsExistWhenTheyHaveASize) {
    test::SimDevice device(nor_board(false));
    EXPECT_EQ(qm::mtd_exists("/dev/mtd/1"), 1);
    EXPECT_EQ(qm::mtd_exists("/dev/mtd/3"), 1);
    EXPECT_EQ(device.take_console(), "");
    EXPECT_EQ(qm::mtd_exists("/dev/mtd/4"), 0);
    EXPECT_EQ(device.take_console(), "ERROR:/dev/mtd/4:No such file or directory(2)\n");
    test::write_file(device.host("mtd4.img"), "");
    EXPECT_EQ(qm::mtd_exists("/dev/mtd/4"), 0);
    EXPECT_EQ(qm::mtd_exists(nullptr), 0);
    EXPECT_EQ(device.take_console(), "ERROR:filename invalid\n");
}

TEST(Mtd, WritesReachTheFlashOnlyBetweenUnlockAndLock) {
    test::SimDevice device(nor_board());
    auto& k = device.kernel();
    const int fd = k.open("/dev/mtdblock/1", O_RDWR | O_SYNC, 0);
    ASSERT_GE(fd, 0);
    char erased[16];
    ASSERT_EQ(k.read(fd, erased, sizeof erased), 16);
    EXPECT_EQ(std::string(erased, 16), std::string(16, '\xFF'));

    k.lseek(fd, 0, SEEK_SET);
    EXPECT_EQ(k.write(fd, "uImage", 6), -1) << "the partition comes up locked";
    EXPECT_EQ(errno, EIO);
    ASSERT_EQ(qm::flash_unlock("/dev/mtd/1"), 1);
    EXPECT_EQ(k.write(fd, "uImage", 6), 6);
    ASSERT_EQ(qm::flash_lock("/dev/mtd/1"), 1);
    EXPECT_EQ(k.write(fd, "more", 4), -1);
    k.close(fd);
    EXPECT_EQ(test::read_bytes(device.host("mtd1.img"), 0, 8), "uImage\xFF\xFF");
    EXPECT_EQ(device.console(), "");
}

TEST(Mtd, SizeComesFromTheCharacterDeviceOnly) {
    test::SimDevice device(nor_board());
    auto& k = device.kernel();
    const int chr = k.open("/dev/mtd/0", O_RDONLY, 0);
    EXPECT_EQ(qm::mtd_getsize(chr, "/dev/mtd/0"), 256 * 1024);
    const int blk = k.open("/dev/mtdblock/1", O_RDONLY, 0);
    EXPECT_EQ(qm::mtd_getsize(blk, "/dev/mtdblock/1"), -1);
    EXPECT_EQ(device.console(), "ERROR:/dev/mtdblock/1(" + std::to_string(blk) + "):ioctl 0x80204d01 failed.\n" +
                                    "INFO:/dev/mtdblock/1(" + std::to_string(blk) + "):type=blockdev major=31 minor=1\n");
    k.close(chr);
    k.close(blk);
}

TEST(Mtd, UnlockingSomethingElseFails) {
    test::SimDevice device(nor_board());
    EXPECT_EQ(qm::flash_unlock("/bin/kinit"), 0);
    const std::string console = device.take_console();
    EXPECT_NE(console.find("):ioctl 0x80204d01 failed.\n"), std::string::npos) << console;
    EXPECT_NE(console.find("):type=file major=0 minor=0\n"), std::string::npos) << console;
    EXPECT_EQ(qm::flash_lock("/dev/mtd/9"), 0);
    EXPECT_EQ(device.take_console(), "ERROR:/dev/mtd/9:No such file or directory(2)\n");
    EXPECT_EQ(qm::flash_lock_fd(-1, "Kernel1"), 0);
    EXPECT_EQ(qm::check_fd_and_name(-1, nullptr), 0);
    EXPECT_EQ(device.console(), "ERROR:Kernel1:invalid filedescriptor\nERROR:??:invalid filedescriptor\n");
}

}  // namespace

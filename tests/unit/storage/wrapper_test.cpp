#include "storage/wrapper.h"

#include <fcntl.h>
#include <linux/fs.h>

#include <gtest/gtest.h>

#include "support/simkernel.h"

namespace {

TEST(IoctlWrapper, BlockRequestOnRegularFileIsDiagnosed) {
    test::SimDevice device;
    auto& k = device.kernel();
    const int fd = k.open("/bin/kinit", O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    unsigned long sectors = 0;
    EXPECT_EQ(qm::ioctl_wrapper("/bin/kinit", fd, BLKGETSIZE, &sectors), -1);
    EXPECT_EQ(device.console(), "ERROR:/bin/kinit(" + std::to_string(fd) + "):ioctl 0x1260 failed.\n"
              "INFO:/bin/kinit(" + std::to_string(fd) + "):type=file major=0 minor=0\n");
    k.close(fd);
}

TEST(IoctlWrapper, OtherErrorsAreReportedWithTheirText) {
    test::SimDevice device;
    unsigned long sectors = 0;
    EXPECT_EQ(qm::ioctl_wrapper("/dev/none", 99, BLKGETSIZE, &sectors), -1);
    EXPECT_EQ(device.console(), "ERROR:/dev/none:Bad file descriptor(9)\n");
}

TEST(IoctlWrapper, SuccessPassesTheResultThrough) {
    test::SimDevice device;
    auto& k = device.kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    unsigned long sectors = 0;
    EXPECT_EQ(qm::ioctl_wrapper("/dev/mmcblk0", fd, BLKGETSIZE, &sectors), 0);
    EXPECT_EQ(sectors, (1UL << 30) / 512);
    EXPECT_EQ(device.console(), "");
    k.close(fd);
}

}  // namespace

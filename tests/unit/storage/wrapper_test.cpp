#include "storage/wrapper.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/sysmacros.h>

#include <memory>

#include <gtest/gtest.h>

#include "sim/open_file.h"
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

// A character device with a minor number above 255, which the device
// number keeps in its high bits.
class WideMinorDevice final : public sim::OpenFile {
public:
    ssize_t read(void*, size_t) override { return 0; }
    ssize_t write(const void*, size_t count) override { return static_cast<ssize_t>(count); }
    int fstat(struct stat* st) override {
        *st = {};
        st->st_mode = S_IFCHR | 0600;
        st->st_rdev = makedev(259, 300);
        return 0;
    }
};

TEST(IoctlWrapper, DiagnosisShowsWholeMinorNumbers) {
    test::SimDevice device;
    const int fd = device.kernel().adopt(std::make_unique<WideMinorDevice>());
    unsigned long sectors = 0;
    EXPECT_EQ(qm::ioctl_wrapper("/dev/wide", fd, BLKGETSIZE, &sectors), -1);
    EXPECT_EQ(device.console(), "ERROR:/dev/wide(" + std::to_string(fd) + "):ioctl 0x1260 failed.\n"
              "INFO:/dev/wide(" + std::to_string(fd) + "):type=chardev major=259 minor=300\n");
    device.kernel().close(fd);
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

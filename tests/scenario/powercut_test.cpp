// Power cuts during an update: for every write N of an install, the power
// fails right after write N, the device boots again, and the result must be
// the verified image everywhere with the bundle gone.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/install_fixture.h"

namespace {

constexpr uint64_t uboot_at = 3072;
constexpr uint64_t kernel_at = 266240;
constexpr int most_writes = 80;  // far above what these small bundles take
const std::string successful = "INFO:bundle /mnt-us/update.bin was successful\n";

bool exists(const std::string& path) { return std::fopen(path.c_str(), "r") != nullptr; }

std::string cut_line(int n) { return "SIM: power-off (power cut after write " + std::to_string(n) + ")"; }

bool intact(const std::string& file) {
    return std::system((std::string(QM_BIN_DIR) + "/ckimage -q " + file + " >/dev/null 2>&1").c_str()) == 0;
}

// MMC-boot family: one boot loader and one kernel region.
TEST(PowerCutSweep, MmcBootFamilyInstallsTheVerifiedImagesAtTheNextBoot) {
    int torn_kernel = 0;
    int torn_uboot = 0;
    int n = 1;
    for (; n <= most_writes; ++n) {
        test::UpdateDevice device;
        const std::string uboot = device.random_file("u-boot.bin", 20000, 1);
        // A kernel of several writes, so that cuts land inside it.
        const std::string kernel = device.random_file("uImage", 1300000, 2);
        const std::string uboot_bytes = test::read_file(uboot);
        const std::string kernel_bytes = test::read_file(kernel);
        device.drop(device.bundle("update.bin", {{"imx35_selda/u-boot.bin", uboot}, {"imx35_selda/uImage", kernel}}),
                    "update.bin");
        const std::string mmc = device.path("mmc0.img");
        const std::string old_kernel = test::file_bytes(mmc, kernel_at, kernel_bytes.size());
        const std::string old_uboot = test::file_bytes(mmc, uboot_at, uboot_bytes.size());

        const auto cut = device.boot("", {"--fault", "powercut:" + std::to_string(n)});
        if (!cut.contains(cut_line(n))) {
            // The whole update took fewer than n writes.
            EXPECT_NE(cut.find(successful), std::string::npos) << cut.output;
            break;
        }
        const std::string kernel_after = test::file_bytes(mmc, kernel_at, kernel_bytes.size());
        const std::string uboot_after = test::file_bytes(mmc, uboot_at, uboot_bytes.size());
        torn_kernel += kernel_after != old_kernel && kernel_after != kernel_bytes;
        torn_uboot += uboot_after != old_uboot && uboot_after != uboot_bytes;
        const bool bundle_left = exists(device.path("userstore/update.bin"));
        // Nothing is taken as done before every image is in place.
        if (!bundle_left) {
            EXPECT_EQ(kernel_after, kernel_bytes) << "cut after write " << n;
            EXPECT_EQ(uboot_after, uboot_bytes) << "cut after write " << n;
        }

        const auto next = device.boot();
        if (bundle_left) {
            EXPECT_NE(next.find(successful), std::string::npos) << "cut after write " << n << next.output;
        }
        EXPECT_FALSE(exists(device.path("userstore/update.bin"))) << "cut after write " << n;
        EXPECT_EQ(test::file_bytes(mmc, kernel_at, kernel_bytes.size()), kernel_bytes) << "cut after write " << n;
        EXPECT_EQ(test::file_bytes(mmc, uboot_at, uboot_bytes.size()), uboot_bytes) << "cut after write " << n;
    }
    EXPECT_GT(n, 2) << "the sweep met no write";
    EXPECT_LE(n, most_writes) << "the update never finished";
    // With one copy of each, a cut inside the kernel's writes leaves a
    // region that a real board could not start from (the simulation boots
    // regardless); docs/power-cuts.md says what this family survives.
    EXPECT_GT(torn_kernel, 0) << "no cut landed inside the kernel";
    std::printf("MMC-boot sweep: %d cuts, %d with a torn kernel, %d with a torn boot loader\n", n - 1, torn_kernel,
                torn_uboot);
}

// NOR-boot family: two copies of the kernel and of the boot loader.
TEST(PowerCutSweep, NorBootFamilyAlwaysKeepsAValidKernelAndBootLoader) {
    int n = 1;
    for (; n <= most_writes; ++n) {
        test::UpdateDevice device({"--family", "nor"});
        const std::string old_kernel = device.kernel_image("old-uImage", 30000, 10);
        const std::string old_uboot = device.bootloader_image("old-u-boot.bin", 20000, 11);
        const std::string kernel = device.kernel_image("uImage", 40000, 12);
        const std::string uboot = device.bootloader_image("u-boot.bin", 25000, 13);
        // Flash as it leaves the factory: the second kernel copy erased.
        for (const auto& [partition, image] :
             {std::pair{"mtd1.img", old_kernel}, {"mtd0.img", old_uboot}, {"mtd3.img", old_uboot}}) {
            std::string bytes = test::read_file(device.path(partition));
            const std::string content = test::read_file(image);
            bytes.replace(0, content.size(), content);
            test::write_file(device.path(partition), bytes);
        }
        device.drop(device.bundle("update.bin", {{"uImage", kernel}, {"u-boot.bin", uboot}}, {"--family", "orvik"}),
                    "update.bin");

        const auto cut = device.boot("", {"--fault", "powercut:" + std::to_string(n)});
        if (!cut.contains(cut_line(n))) {
            EXPECT_NE(cut.find(successful), std::string::npos) << cut.output;
            break;
        }
        EXPECT_TRUE(intact(device.path("mtd1.img")) || intact(device.path("mtd4.img"))) << "cut after write " << n;
        EXPECT_TRUE(intact(device.path("mtd0.img")) || intact(device.path("mtd3.img"))) << "cut after write " << n;
        const bool bundle_left = exists(device.path("userstore/update.bin"));

        const auto next = device.boot();
        if (bundle_left) {
            EXPECT_NE(next.find(successful), std::string::npos) << "cut after write " << n << next.output;
        }
        EXPECT_FALSE(exists(device.path("userstore/update.bin"))) << "cut after write " << n;
        EXPECT_TRUE(intact(device.path("mtd1.img")) && intact(device.path("mtd4.img"))) << "cut after write " << n;
        EXPECT_TRUE(intact(device.path("mtd0.img")) && intact(device.path("mtd3.img"))) << "cut after write " << n;
        const std::string kernel_bytes = test::read_file(kernel);
        const std::string uboot_bytes = test::read_file(uboot);
        EXPECT_EQ(test::file_bytes(device.path("mtd1.img"), 0, kernel_bytes.size()), kernel_bytes) << n;
        EXPECT_EQ(test::file_bytes(device.path("mtd0.img"), 0, uboot_bytes.size()), uboot_bytes) << n;
    }
    EXPECT_GT(n, 2) << "the sweep met no write";
    EXPECT_LE(n, most_writes) << "the update never finished";
    std::printf("NOR-boot sweep: %d cuts\n", n - 1);
}

}  // namespace

// Bundles dropped into the user store of a simulated device, found at the
// next boot, checked, installed and removed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "support/host_tools.h"
#include "support/install_fixture.h"
#include "support/param_name.h"

namespace {

constexpr uint64_t uboot_at = 3072;
constexpr uint64_t kernel_at = 266240;
constexpr uint64_t rootfs_at = 7688ULL * 512;  // partition 1 of the MMC-boot family
const std::string clean_reboot = "SIM: reboot (kernel_boot_flag written \"0\\n\")";
const std::string failover_reboot = "SIM: reboot (kernel_boot_flag untouched)";
// A failed update waits for R; a person presses it a while later.
const std::string press_r = "60 console R\n";

bool exists(const std::string& path) { return std::fopen(path.c_str(), "r") != nullptr; }

class SeldaUpdate : public testing::Test {
protected:
    test::UpdateDevice device;
    std::string uboot = device.random_file("u-boot.bin", 70000, 1);
    std::string kernel = device.random_file("uImage", 90000, 2);
    std::string rootfs_plain;
    std::string rootfs = device.rootfs_image("rootfs.img", &rootfs_plain);

    std::string good_bundle(const std::string& name = "update.bin") {
        return device.bundle(name, {{"imx35_selda/u-boot.bin", uboot},
                                    {"imx35_selda/uImage", kernel},
                                    {"rootfs.img.gz", rootfs}});
    }
    std::string mmc() const { return device.path("mmc0.img"); }
    std::string snapshot() {
        const std::string copy = device.work("before.img");
        std::remove(copy.c_str());
        EXPECT_EQ(std::system(("cp --sparse=always " + mmc() + " " + copy).c_str()), 0);
        return copy;
    }
};

TEST_F(SeldaUpdate, InstallsRawImagesAndTheRootFileSystemThenRebootsClean) {
    device.drop(good_bundle(), "update.bin");
    test::write_file(device.path("rootfs/ENABLE_DIAGS"), "1\n");
    const std::string before = snapshot();
    const auto run = device.boot();
    EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), clean_reboot) << run.output;

    const std::string uboot_bytes = test::read_file(uboot);
    const std::string kernel_bytes = test::read_file(kernel);
    const std::string rootfs_bytes = test::read_file(rootfs_plain);
    EXPECT_EQ(test::file_bytes(mmc(), uboot_at, uboot_bytes.size()), uboot_bytes);
    EXPECT_EQ(test::file_bytes(mmc(), kernel_at, kernel_bytes.size()), kernel_bytes);
    EXPECT_EQ(test::file_bytes(mmc(), rootfs_at, rootfs_bytes.size()), rootfs_bytes);
    EXPECT_TRUE(test::same_outside(before, mmc(),
                                   {{uboot_at, uboot_bytes.size()},
                                    {kernel_at, kernel_bytes.size()},
                                    {rootfs_at, rootfs_bytes.size()}}));
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    EXPECT_FALSE(exists(device.path("rootfs/ENABLE_DIAGS")));
    EXPECT_NE(run.find("INFO:Disabled diags.\n"), std::string::npos);
}

TEST_F(SeldaUpdate, DiagnosticsImageGoesToItsPartitionAndTheMarkerStays) {
    constexpr uint64_t diagsfs_at = 876096ULL * 512;  // partition 3
    const std::string diagsfs = device.random_file("diagsfs.img", 50000, 7);
    device.drop(device.bundle("update.bin", {{"rootfs.img.gz", rootfs}, {"diagsfs.img", diagsfs}}), "update.bin");
    test::write_file(device.path("rootfs/ENABLE_DIAGS"), "1\n");
    const auto run = device.boot();
    EXPECT_NE(run.find("INFO:Installation had diagsfs.img, installing it.\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:removed temp diagsfs.img file.\n"), std::string::npos);
    EXPECT_EQ(run.last_line(), clean_reboot) << run.output;
    EXPECT_EQ(test::file_bytes(mmc(), diagsfs_at, 50000), test::read_file(diagsfs));
    EXPECT_TRUE(exists(device.path("rootfs/ENABLE_DIAGS")));
    EXPECT_FALSE(exists(device.path("diagsfs.img")));
}

// The diagnostics image is copied last, after the kernel: a partition 3 that
// cannot be written must not end in a bundle called successful and removed,
// but in one that the next boot installs again and finishes.
TEST_F(SeldaUpdate, DiagnosticsPartitionThatCannotBeWrittenKeepsTheBundleForTheNextBoot) {
    constexpr uint64_t diagsfs_at = 876096ULL * 512;
    const std::string diagsfs = device.random_file("diagsfs.img", 50000, 9);
    device.drop(device.bundle("update.bin", {{"imx35_selda/uImage", kernel}, {"diagsfs.img", diagsfs}}), "update.bin");
    const auto failed = device.boot(press_r, {"--fault", "eio:/dev/mmcblk0p3"});
    ASSERT_NE(failed.find("INFO:Copying /diagsfs.img to /dev/mmcblk0p3 ...\n"), std::string::npos) << failed.output;
    EXPECT_EQ(failed.find("was successful"), std::string::npos) << failed.output;
    ASSERT_TRUE(exists(device.path("userstore/update.bin"))) << failed.output;

    const auto next = device.boot();
    EXPECT_NE(next.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << next.output;
    EXPECT_EQ(test::file_bytes(mmc(), diagsfs_at, 50000), test::read_file(diagsfs));
    const std::string kernel_bytes = test::read_file(kernel);
    EXPECT_EQ(test::file_bytes(mmc(), kernel_at, kernel_bytes.size()), kernel_bytes);
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
}

TEST_F(SeldaUpdate, BundleSignedWithAForeignKeyWritesNothingAndWaitsForR) {
    ASSERT_EQ(std::system((std::string(QM_BIN_DIR) + "/mkbundle keygen --bits 1024 --out " +
                           device.work("foreign.pem") + " >/dev/null 2>&1").c_str()),
              0);
    device.drop(device.bundle("foreign.bin", {{"imx35_selda/uImage", kernel}},
                              {"--key", device.work("foreign.pem")}),
                "update.bin");
    const std::string before = snapshot();
    const auto run = device.boot(press_r);
    EXPECT_NE(run.find("ERROR:*** There was a problem in the updates!\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:Update failed *** Press R to continue...\n"), std::string::npos);
    EXPECT_EQ(run.last_line(), failover_reboot);
    EXPECT_TRUE(test::same_outside(before, mmc(), {}));
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    EXPECT_EQ(run.find("*** UPDATING"), std::string::npos);
}

// With nobody at the keys, "Press R to continue" after a failed update is
// pressed for them after ten minutes (the signal at 15 minutes would show a
// wait that goes on), and the next boot tries the update again.
TEST_F(SeldaUpdate, PressRWithNobodyThereEndsAfterTenMinutesAsRDoes) {
    device.drop(good_bundle(), "update.bin");
    const auto run = device.boot("900 signal TERM\n", {"--fault", "eio:/dev/mmcblk0p1"});
    const size_t prompt = run.find("INFO:Update failed *** Press R to continue...\n");
    ASSERT_NE(prompt, std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:No R in 10 minutes; going on as R does\n", prompt), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:Rebooting ... failing over to alternate kernel\n", prompt), std::string::npos);
    EXPECT_EQ(run.find("Caught signal"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
    const auto next = device.boot();
    EXPECT_NE(next.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << next.output;
}

TEST_F(SeldaUpdate, InstallFailingTwiceSucceedsTheThirdTime) {
    // Images this small arrive in one piece: one write each per attempt,
    // the boot loader first.
    uboot = device.random_file("small-u-boot.bin", 20000, 4);
    kernel = device.random_file("small-uImage", 20000, 5);
    device.drop(good_bundle(), "update.bin");
    const auto run = device.boot("", {"--fault", "eio:/dev/mmcblk0:1", "--fault", "eio:/dev/mmcblk0:3"});
    const size_t third = run.find("*** UPDATING /mnt-us/update.bin (Attempt #3) ***\n");
    ASSERT_NE(third, std::string::npos) << run.output;
    size_t retries = 0;
    for (size_t at = run.find("*** UPDATE FAILED, RETRYING ***\n"); at != std::string::npos;
         at = run.find("*** UPDATE FAILED, RETRYING ***\n", at + 1))
        ++retries;
    EXPECT_EQ(retries, 2u);
    EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n", third), std::string::npos);
    EXPECT_EQ(run.last_line(), clean_reboot);
    const std::string uboot_bytes = test::read_file(uboot);
    EXPECT_EQ(test::file_bytes(mmc(), uboot_at, uboot_bytes.size()), uboot_bytes);
}

TEST_F(SeldaUpdate, BundleChangedAfterItsCheckIsNotReportedAsInstalled) {
    device.drop(good_bundle(), "update.bin");
    const std::string other_kernel = device.random_file("other-uImage", 90000, 99);
    const std::string changed = device.bundle("changed.bin", {{"imx35_selda/u-boot.bin", uboot},
                                                              {"imx35_selda/uImage", other_kernel},
                                                              {"rootfs.img.gz", rootfs}});
    const auto run = device.boot(press_r, {"--fault", "swap:/mnt-us/update.bin:" + changed});
    EXPECT_NE(run.find("EMERGENCY:\a*** imx35_selda/uImage differs from the image that was verified"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.find("INFO:imx35_selda/uImage update successful"), std::string::npos);
    EXPECT_NE(run.find("*** UPDATE FAILED, GIVING UP! ***\n"), std::string::npos);
    EXPECT_NE(run.find("ERROR:Could not unbundle /mnt-us/update.bin\n"), std::string::npos);
    EXPECT_EQ(run.last_line(), failover_reboot);
}

// The bundle is cut short on the medium between the check and the install
// (a file system that lost its tail, a host that rewrote it): every piece
// the install pass gets is still proven, but a root file system streamed
// onto its partition up to the cut is neither the old nor the new one.
// The install must notice before it writes a byte, so that the old
// system stays whole and the next boot can refuse the broken bundle.
TEST_F(SeldaUpdate, BundleCutShortAfterItsCheckWritesNothing) {
    const std::string big_rootfs = device.random_file("big-rootfs.img", 700000, 31);
    ASSERT_EQ(std::system(("gzip -n -1 -f " + big_rootfs).c_str()), 0);
    const std::string bundle =
        device.bundle("update.bin", {{"imx35_selda/uImage", kernel}, {"rootfs.img.gz", big_rootfs + ".gz"}});
    device.drop(bundle, "update.bin");
    const std::string whole = test::read_file(bundle);
    const std::string cut = device.work("cut.bin");
    test::write_file(cut, whole.substr(0, whole.size() * 3 / 4));
    const std::string before = snapshot();

    const auto run = device.boot(press_r, {"--fault", "swap:/mnt-us/update.bin:" + cut});
    EXPECT_EQ(run.find("was successful"), std::string::npos) << run.output;
    EXPECT_TRUE(test::same_outside(mmc(), before, {})) << run.output;

    // The next boot finds the cut bundle, refuses it and goes on with the
    // old system.
    const auto next = device.boot(press_r);
    EXPECT_FALSE(exists(device.path("userstore/update.bin"))) << next.output;
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
    EXPECT_TRUE(test::same_outside(mmc(), before, {})) << next.output;
}

// A root file system that is signed correctly but whose gzip stream cannot
// be inflated whole: authenticating every byte of a member proves it is the
// member that was signed, not that it is an image. Each is made with
// Python's gzip and zlib and signed with openssl. The bundle tools inflate
// every image and refuse it. A reader checks only what was signed (and the
// size the stream's trailer gives) before it writes. Where it finds out in
// the middle of the root partition, that partition is torn and no attempt
// can mend it: the bundle goes and the reader is held in recovery, at this
// boot and every later one, until a good bundle comes and finishes the
// update. Where it finds out before the first byte, the bundle goes like any
// refused one and the old system stays whole. Nothing else is ever written.
struct DamagedGzipCase {
    const char* name;
    const char* damage;  // Python on gz (the bytes of a gzip stream) and plain
    const char* device_says;
    bool tears;  // the reader finds out only after writing part of the partition
};

class DamagedRootFileSystem : public SeldaUpdate, public testing::WithParamInterface<DamagedGzipCase> {};

TEST_P(DamagedRootFileSystem, IsRefusedByTheToolsAndHoldsTheReaderUntilAGoodBundle) {
    const std::string plain = device.random_file("plain.img", 300000, 7);
    const std::string damaged = device.work("damaged.img.gz");
    const std::string python = std::string(
                                   "import gzip, sys, zlib\n"
                                   "plain = open(sys.argv[1], 'rb').read()\n"
                                   "gz = bytearray(gzip.compress(plain, 9, mtime=0))\n") +
                               GetParam().damage + "\nopen(sys.argv[2], 'wb').write(gz)\n";
    test::write_file(device.work("damage.py"), python);
    ASSERT_EQ(std::system(("python3 " + device.work("damage.py") + " " + plain + " " + damaged).c_str()), 0);

    const std::string mkbundle = std::string(QM_BIN_DIR) + "/mkbundle";
    const auto created =
        test::run_tool(mkbundle + " create --out " + device.work("made.bin") + " rootfs.img.gz=" + damaged + " 2>&1");
    EXPECT_NE(created.status, 0) << created.output;
    EXPECT_NE(created.output.find("rootfs.img.gz: cannot read " + damaged + " as gzip to its end"), std::string::npos)
        << created.output;
    const std::string bundle =
        device.foreign_bundle("damaged.bin", {"--image", "rootfs.img.gz=" + damaged + "=rootfs.img.gz.sig"});
    const auto verified = test::run_tool(mkbundle + " verify " + bundle + " 2>&1");
    EXPECT_EQ(verified.status, 1) << verified.output;
    EXPECT_NE(verified.output.find("ERROR:RootFS:rootfs.img.gz cannot be installed whole: "), std::string::npos)
        << verified.output;
    EXPECT_NE(verified.output.find(" is NOT authorised "), std::string::npos) << verified.output;

    device.drop(bundle, "update.bin");
    const std::string before = snapshot();
    // Nobody at the reader; the signal a day later would show a wait that
    // never ends.
    const auto run = device.boot("86400 signal TERM\n");
    EXPECT_NE(run.find(GetParam().device_says), std::string::npos) << run.output;
    EXPECT_EQ(run.find("*** UPDATING /mnt-us/update.bin (Attempt #2)"), std::string::npos) << "tried again";
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    if (GetParam().tears) {
        EXPECT_NE(run.find("INFO:RootFS:Present siglen=128 sigpassed=Yes\n"), std::string::npos) << run.output;
        EXPECT_NE(run.find("*** UPDATE FAILED: AN IMAGE OF THE BUNDLE CANNOT BE INSTALLED WHOLE ***\n"),
                  std::string::npos);
        EXPECT_NE(run.find("holding the reader in recovery"), std::string::npos);
        EXPECT_NE(run.find("INFO:drawing string '0011'"), std::string::npos) << run.output;
        EXPECT_EQ(run.last_line(), "SIM: power-off") << run.output;
        EXPECT_NE(test::read_file(device.path("userstore/install.jnl")).find("\nunfinished RootFS\n"),
                  std::string::npos);
        // Only the root partition was written.
        EXPECT_TRUE(test::same_outside(before, mmc(), {{rootfs_at, 4u << 20}}));
        EXPECT_EQ(device.boot("86400 signal TERM\n").last_line(), "SIM: power-off") << "handed over";
    } else {
        EXPECT_NE(run.find("INFO:Error code: 3\n"), std::string::npos) << run.output;
        EXPECT_EQ(run.last_line(), failover_reboot) << run.output;
        EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
        EXPECT_TRUE(test::same_outside(before, mmc(), {}));
        EXPECT_EQ(device.boot().last_line(), "SIM: exec /bin/kinit");
    }

    device.drop(good_bundle(), "update.bin");
    const auto good = device.boot();
    EXPECT_NE(good.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << good.output;
    const std::string rootfs_bytes = test::read_file(rootfs_plain);
    EXPECT_TRUE(test::file_bytes(mmc(), rootfs_at, rootfs_bytes.size()) == rootfs_bytes);
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
    EXPECT_EQ(device.boot().last_line(), "SIM: exec /bin/kinit");
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DamagedRootFileSystem,
    testing::Values(DamagedGzipCase {"crc_wrong", "gz[-8] ^= 1",
                                     "rootfs.img.gz:decompression error(-3) incorrect data check\n", true},
                    DamagedGzipCase {"size_wrong", "gz[-4] ^= 1",
                                     "rootfs.img.gz:decompression error(-3) incorrect length check\n", true},
                    // The trailer's size is then whatever bytes the cut left at the end.
                    DamagedGzipCase {"cut_short", "gz = gz[:len(gz) * 2 // 3]",
                                     "more than the 419459072 bytes of its destination\n", false},
                    DamagedGzipCase {"cut_short_keeping_its_size", "gz = gz[:len(gz) * 2 // 3] + gz[-4:]",
                                     "rootfs.img.gz:compressed image ends before its data\n", true},
                    // Text compresses into real deflate codes, which the flip breaks
                    // well after the first block of the partition was written.
                    DamagedGzipCase {"deflate_stream_corrupt",
                                     "plain = b''.join(b'line %d of the image\\n' % i for i in range(100000))\n"
                                     "gz = bytearray(gzip.compress(plain, 9, mtime=0))\ngz[len(gz) // 2] ^= 0x55",
                                     "rootfs.img.gz:decompression error(-3)", true},
                    DamagedGzipCase {"deflate_stream_corrupt_at_its_start", "gz[12] ^= 0xff",
                                     "rootfs.img.gz:decompression error(-3)", false},
                    DamagedGzipCase {"zero_bytes_after", "gz += bytes(16)",
                                     "rootfs.img.gz:decompression error(-3) incorrect header check\n", true},
                    // Stored blocks: a 10-byte header, 5 bytes before the first
                    // block's data; the stream stays valid, only the CRC tells.
                    DamagedGzipCase {"stored_byte_changed",
                                     "gz = bytearray(gzip.compress(plain, 0, mtime=0))\ngz[10 + 5 + 1000] ^= 0x20",
                                     "rootfs.img.gz:decompression error(-3) incorrect data check\n", true},
                    DamagedGzipCase {"second_member_cut", "gz += gz[:8]",
                                     "rootfs.img.gz:compressed image ends before its data\n", true}),
    test::ParamName());

// The code reaches the panel: it is started first (code 8 used to be drawn
// on a panel nothing had started, and the owner saw the last boot's picture).
TEST_F(SeldaUpdate, TwoBundlesAreRefusedWithCode8) {
    device.drop(good_bundle(), "update_a.bin");
    device.drop(good_bundle("b.bin"), "update_b.bin");
    const auto run = device.boot();
    EXPECT_NE(run.find("ERROR:Refusing to update: too many update files found.\n"), std::string::npos);
    const size_t started = run.find("INFO:eink initialized");
    ASSERT_NE(started, std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:drawing string '0008' @ 272,760\n", started), std::string::npos) << run.output;
    EXPECT_EQ(run.find("Ignoring request to draw string"), std::string::npos);
    // The panel's pictures: the update-failed screen, then the code on it.
    EXPECT_TRUE(exists(device.path("screens/001.png")));
    EXPECT_TRUE(exists(device.path("userstore/update_a.bin")));
    EXPECT_TRUE(exists(device.path("userstore/update_b.bin")));
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

TEST_F(SeldaUpdate, GaugeThatNeverAnswersCountsAsNoGaugeAndTheBundleWaits) {
    device.drop(good_bundle(), "update.bin");
    const std::string before = snapshot();
    const auto run = device.boot("", {"--fault", "hang:/dev/i2c/0"});
    EXPECT_NE(run.find("ERROR:Could not access gasgauge\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << run.output;
    EXPECT_TRUE(test::same_outside(before, mmc(), {}));
    EXPECT_TRUE(exists(device.path("userstore/update.bin")));
}

struct BatteryCase {
    const char* name;
    const char* charge;
    bool installs;
};

class BatteryLevel : public testing::TestWithParam<BatteryCase> {};

TEST_P(BatteryLevel, FifteenPercentIsTheLeastThatInstalls) {
    test::UpdateDevice device({"--battery", GetParam().charge});
    const std::string kernel = device.random_file("uImage", 5000, 3);
    const std::string rootfs = device.rootfs_image("rootfs.img");
    device.drop(device.bundle("update.bin", {{"imx35_selda/uImage", kernel}, {"rootfs.img.gz", rootfs}}),
                "update.bin");
    const auto run = device.boot();
    if (GetParam().installs) {
        EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << run.output;
        EXPECT_EQ(run.last_line(), clean_reboot);
    } else {
        EXPECT_NE(run.find("Skipping update because battery is low. (14% is below 15%)\n"), std::string::npos)
            << run.output;
        EXPECT_NE(run.find("INFO:no updates found.\n"), std::string::npos);
        EXPECT_TRUE(exists(device.path("userstore/update.bin")));
        EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    }
}

INSTANTIATE_TEST_SUITE_P(Charges, BatteryLevel,
                         testing::Values(BatteryCase{"fourteen", "14", false}, BatteryCase{"fifteen", "15", true}),
                         test::ParamName());

class OrvikUpdate : public testing::Test {
protected:
    test::UpdateDevice device{{"--family", "nor"}};
    std::string old_kernel = device.kernel_image("old-uImage", 60000, 10);
    std::string old_uboot = device.bootloader_image("old-u-boot.bin", 50000, 11);
    std::string kernel = device.kernel_image("uImage", 80000, 12);
    std::string uboot = device.bootloader_image("u-boot.bin", 40000, 13);
    std::string rootfs = device.rootfs_image("rootfs.img");

    // Flash as it leaves the factory, with Kernel2 still erased.
    void program_flash() {
        program("mtd1.img", old_kernel);
        program("mtd0.img", old_uboot);
        program("mtd3.img", old_uboot);
    }
    void program(const std::string& partition, const std::string& image) {
        std::string bytes = test::read_file(device.path(partition));
        const std::string content = test::read_file(image);
        bytes.replace(0, content.size(), content);
        test::write_file(device.path(partition), bytes);
    }
    std::string flash(const std::string& partition, const std::string& image) {
        return test::file_bytes(device.path(partition), 0, test::read_file(image).size());
    }
    std::string bundle(const std::string& name) {
        return device.bundle(name, {{"uImage", kernel}, {"u-boot.bin", uboot}, {"rootfs.img.gz", rootfs}},
                             {"--family", "orvik"});
    }
};

TEST_F(OrvikUpdate, WritesFlashRepairsKernel2FirstAndLocksEachPartitionAgain) {
    program_flash();
    device.drop(bundle("update.bin"), "update.bin");
    const auto run = device.boot();
    const size_t repaired = run.find("INFO:Successfully copied Kernel1 to Kernel2\n");
    const size_t updating = run.find("*** UPDATING /mnt-us/update.bin (Attempt #1) ***\n");
    ASSERT_NE(repaired, std::string::npos) << run.output;
    EXPECT_LT(repaired, updating);
    EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos);
    EXPECT_EQ(run.last_line(), clean_reboot) << run.output;
    EXPECT_EQ(flash("mtd1.img", kernel), test::read_file(kernel));
    EXPECT_EQ(flash("mtd0.img", uboot), test::read_file(uboot));
    EXPECT_EQ(flash("mtd4.img", old_kernel), test::read_file(old_kernel));  // the repair's copy stays
    // Each first copy was unlocked for its member only and locked again.
    const size_t log = run.find("=== kernel printk buffer");
    ASSERT_NE(log, std::string::npos);
    for (const char* partition : {"mtd1", "mtd0"}) {
        const size_t unlocked = run.find(std::string(partition) + ": unlocked", log);
        const size_t locked = run.find(std::string(partition) + ": locked", unlocked);
        EXPECT_NE(unlocked, std::string::npos) << partition;
        EXPECT_NE(locked, std::string::npos) << partition;
    }
}

TEST_F(OrvikUpdate, DiagsModeRewritesBothSecondCopies) {
    program_flash();
    program("mtd4.img", old_kernel);
    device.drop(bundle("update_diags.bin"), "update_diags.bin");
    const auto run = device.boot();
    EXPECT_NE(run.find("INFO:*** DIAGS MODE MEANS WE UPDATE BOTH KERNELS AND BOTH BOOTLOADERS ***\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.last_line(), clean_reboot) << run.output;
    EXPECT_EQ(flash("mtd4.img", kernel), test::read_file(kernel));
    EXPECT_EQ(flash("mtd3.img", uboot), test::read_file(uboot));
}

// Diags mode refreshes the second copies from the first ones after the
// update. When Kernel1 is torn and this boot cannot repair it (its flash
// fails every write), and the diags bundle carries no kernel, the first
// copy is no image at all: copying it over Kernel2 would leave the board
// without a kernel to start. Kernel2 must keep its intact image.
TEST_F(OrvikUpdate, DiagsModeNeverCopiesATornFirstKernelOverTheSecond) {
    program_flash();
    program("mtd4.img", old_kernel);
    std::string torn = test::read_file(old_kernel);
    torn[torn.size() / 2] = static_cast<char>(torn[torn.size() / 2] ^ 0x40);
    test::write_file(device.work("torn-uImage"), torn);
    program("mtd1.img", device.work("torn-uImage"));
    device.drop(device.bundle("update_diags.bin", {{"rootfs.img.gz", rootfs}}, {"--family", "orvik"}),
                "update_diags.bin");

    const auto run = device.boot(press_r, {"--fault", "eio:/dev/mtdblock/1"});
    EXPECT_NE(run.find("INFO:*** DIAGS MODE MEANS WE UPDATE BOTH KERNELS AND BOTH BOOTLOADERS ***\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.find("INFO:Successfully copied Kernel1 to Kernel2\n"), std::string::npos) << run.output;
    EXPECT_TRUE(flash("mtd4.img", old_kernel) == test::read_file(old_kernel)) << run.output;
    EXPECT_TRUE(flash("mtd3.img", old_uboot) == test::read_file(old_uboot));
    // Kernel1 stays torn while its flash fails, and the console says so.
    EXPECT_NE(run.find("EMERGENCY:There are missing Kernel and/or Bootloader images and the device may fail to "
                       "reboot\n"),
              std::string::npos)
        << run.output;
}


// ---- Attacks from outside the project ---------------------------------------------

// A diagnostics image may be gzip-compressed; it is inflated onto partition
// 3. Its size is checked against the partition compressed, so a signed
// image whose content is larger than the partition passes the check, the
// update is called successful and the bundle removed, and then the copy
// runs off the end of the partition: partition 3 is torn for good and the
// reader boots on. It must be refused before anything is written.
TEST_F(SeldaUpdate, CompressedDiagnosticsImageLargerThanItsPartitionIsRefused) {
    std::string content;
    for (int line = 0; content.size() < (9u << 20); ++line)  // partition 3 holds 8 MiB
        content += "diagnostics file system, line " + std::to_string(line) + "\n";
    test::write_file(device.work("diagsfs.img"), content);
    ASSERT_EQ(std::system(("gzip -n -9 -f " + device.work("diagsfs.img")).c_str()), 0);
    device.drop(device.foreign_bundle("update.bin", {"--image", "diagsfs.img=" + device.work("diagsfs.img.gz") +
                                                                    "=diagsfs.img.sig"}),
                "update.bin");
    const std::string before = snapshot();
    const auto run = device.boot(press_r);
    EXPECT_EQ(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("ERROR:*** There was a problem in the updates!\n"), std::string::npos) << run.output;
    EXPECT_TRUE(test::same_outside(before, mmc(), {})) << "partition 3 was written";
}

// A diagnostics image may be gzip; it is inflated on its way to partition 3.
// One whose stream is damaged (here its CRC, made with Python's gzip and
// signed with openssl) is refused by the bundle tools; the reader reads it
// through before it writes the first byte of the partition, which keeps
// its old image, and with nothing else in the bundle the system is whole:
// the bundle goes like a refused one.
TEST_F(SeldaUpdate, DamagedGzipDiagnosticsImageNeverTearsItsPartition) {
    const std::string damaged = device.work("diagsfs.img.gz");
    ASSERT_EQ(std::system(("python3 -c 'import gzip, sys\n"
                           "gz = bytearray(gzip.compress(open(sys.argv[1], \"rb\").read(), 9, mtime=0))\n"
                           "gz[-8] ^= 1\n"
                           "open(sys.argv[2], \"wb\").write(gz)' " +
                           device.random_file("diagsfs.img", 50000, 8) + " " + damaged)
                              .c_str()),
              0);
    const std::string mkbundle = std::string(QM_BIN_DIR) + "/mkbundle";
    const auto created =
        test::run_tool(mkbundle + " create --out " + device.work("made.bin") + " diagsfs.img=" + damaged + " 2>&1");
    EXPECT_NE(created.status, 0) << created.output;
    const std::string bundle =
        device.foreign_bundle("damaged.bin", {"--image", "diagsfs.img=" + damaged + "=diagsfs.img.sig"});
    const auto verified = test::run_tool(mkbundle + " verify " + bundle + " 2>&1");
    EXPECT_EQ(verified.status, 1) << verified.output;
    EXPECT_NE(verified.output.find("ERROR:DiagsFS:diagsfs.img cannot be installed whole: incorrect data check\n"),
              std::string::npos)
        << verified.output;

    device.drop(bundle, "update.bin");
    const std::string before = snapshot();
    const auto run = device.boot(press_r);
    EXPECT_NE(run.find("ERROR:/diagsfs.img:incorrect data check\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("INFO:Copying /diagsfs.img to /dev/mmcblk0p3"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:Error code: 3\n"), std::string::npos) << run.output;
    EXPECT_TRUE(test::same_outside(before, mmc(), {})) << "partition 3 was written";
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
}

// Without a readable partition 3 the diagnostics image becomes the file
// diagsfs.img of the root file system. The copy opens that file without
// truncating it, so a shorter new image leaves the tail of the old one
// behind it: the file is neither image, and the update is called
// successful. The file must hold exactly the verified image.
TEST_F(SeldaUpdate, DiagnosticsImageCopiedIntoTheRootFileSystemLeavesNoOldTail) {
    // An ext3 root file system the recovery program can mount, holding the
    // image of an earlier update.
    std::FILE* disk = std::fopen(mmc().c_str(), "r+b");
    ASSERT_NE(disk, nullptr);
    ASSERT_EQ(std::fseek(disk, static_cast<long>(rootfs_at + 1080), SEEK_SET), 0);
    ASSERT_EQ(std::fwrite("\x53\xef", 1, 2, disk), 2u);
    std::fclose(disk);
    test::write_file(device.path("rootfs/diagsfs.img"), std::string(120000, 'O'));
    const std::string diagsfs = device.random_file("diagsfs.img", 50000, 8);
    device.drop(device.bundle("update.bin", {{"diagsfs.img", diagsfs}}), "update.bin");
    const auto run = device.boot(press_r, {"--fault", "eio-read:/dev/mmcblk0p3"});
    ASSERT_NE(run.find("INFO:Copying /diagsfs.img to /mnt-rootfs/diagsfs.img ...\n"), std::string::npos) << run.output;
    const std::string installed = test::read_file(device.path("rootfs/diagsfs.img"));
    const std::string verified = test::read_file(diagsfs);
    EXPECT_EQ(installed.size(), verified.size()) << "the old image shows behind the new one";
    EXPECT_EQ(installed.compare(0, verified.size(), verified), 0) << "the file does not start with the verified image";
}



}  // namespace

namespace {

// The developer menu's U and M install without the battery check (a person
// is at the device) and unmount the medium afterwards, so that the menu can
// go on exporting or formatting it.
struct MenuUpdateCase {
    const char* name;
    const char* key;
    const char* folder;  // of the device directory the bundle goes to
};

class MenuUpdate : public testing::TestWithParam<MenuUpdateCase> {};

TEST_P(MenuUpdate, InstallsOnTenPercentAndUnmountsAfterwards) {
    const MenuUpdateCase& c = GetParam();
    test::UpdateDevice device({"--battery", "10", "--card-size", "32M"});
    const std::string kernel = device.random_file("uImage", 5000, 3);
    // With a root file system, whose diagnostics marker the update clears.
    const std::string rootfs = device.rootfs_image("rootfs.img");
    const std::string bundle = device.bundle("update.bin", {{"imx35_selda/uImage", kernel}, {"rootfs.img.gz", rootfs}});
    test::write_file(device.path(std::string(c.folder) + "/update.bin"), test::read_file(bundle));
    const auto run = device.boot("0.2 console\n4 console " + std::string(c.key) + "\n5 console q\n");
    EXPECT_EQ(run.find("battery is low"), std::string::npos) << run.output;
    const size_t installed = run.find("INFO:bundle /mnt-us/update.bin was successful\n");
    ASSERT_NE(installed, std::string::npos) << run.output;
    EXPECT_EQ(test::file_bytes(device.path("mmc0.img"), kernel_at, 5000), test::read_file(kernel));
    EXPECT_FALSE(exists(device.path(std::string(c.folder) + "/update.bin")));
    const size_t mounted = run.find("] mounted vfat ");
    const size_t unmounted = run.find("] unmounted /mnt-us\n", mounted);
    EXPECT_NE(unmounted, std::string::npos) << run.output;
    EXPECT_NE(run.find("Developer Menu", installed), std::string::npos) << "the menu comes back";
    EXPECT_EQ(run.last_line(), failover_reboot);
}

INSTANTIATE_TEST_SUITE_P(Media, MenuUpdate,
                         testing::Values(MenuUpdateCase{"U_from_the_user_store", "U", "userstore"},
                                         MenuUpdateCase{"M_from_the_second_card", "M", "card"}),
                         test::ParamName());

}  // namespace

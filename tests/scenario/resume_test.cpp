// Updates that do not finish at the first boot: the install journal on the
// user store runs them again at the next boots, bounds how often, and puts
// the flash copies right when an update can no longer finish.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "support/host_tools.h"
#include "support/install_fixture.h"
#include "support/param_name.h"

namespace {

const std::string failover_reboot = "SIM: reboot (kernel_boot_flag untouched)";
const std::string press_r = "60 console R\n";
const std::string kept = "INFO:Keeping /mnt-us/update.bin to try again at the next boot";
constexpr unsigned install_boots = 3;

bool exists(const std::string& path) { return std::fopen(path.c_str(), "r") != nullptr; }

// An MMC-boot reader with a bundle of a kernel and a root file system.
class Resume : public testing::Test {
protected:
    test::UpdateDevice device;
    std::string kernel = device.random_file("uImage", 20000, 2);
    void SetUp() override {
        device.drop(device.bundle("update.bin", {{"imx35_selda/uImage", kernel},
                                                 {"rootfs.img.gz", device.rootfs_image("rootfs.img")}}),
                    "update.bin");
    }
};

// The root partition refuses every write, so each try tears it: after the
// third the reader is held in recovery (never handed over to the torn root
// file system), powers off with nobody there, and the next power-up tries
// again; once the partition takes writes again the update finishes.
TEST_F(Resume, FailingUpdateRunsAgainAtTheNextTwoBootsThenHoldsTheReader) {
    const std::vector<std::string> failing = {"--fault", "eio:/dev/mmcblk0p1"};
    for (unsigned boot = 1; boot <= 3; ++boot) {
        const auto run = device.boot(press_r, failing);
        EXPECT_NE(run.find("*** UPDATE FAILED, GIVING UP! ***\n"), std::string::npos) << run.output;
        EXPECT_NE(run.find(kept + " (" + std::to_string(boot) + " of 3 boots used)\n"), std::string::npos)
            << run.output;
        EXPECT_EQ(run.find("removing /mnt-us/update.bin"), std::string::npos);
        EXPECT_EQ(run.last_line(), failover_reboot);
        EXPECT_EQ(run.contains("did not finish; starting it again (boot " + std::to_string(boot) + " of 3)"),
                  boot > 1)
            << run.output;
        // The journal holds what the verdict accepted.
        const std::string journal = test::read_file(device.path("userstore/install.jnl"));
        EXPECT_NE(journal.find("boots " + std::to_string(boot) + "\nUImage "), std::string::npos) << journal;
        EXPECT_NE(journal.find("\nRootFS "), std::string::npos) << journal;
    }
    // Nobody at the reader: the hold ends in a power-off, long before the
    // signal a day later.
    const auto fourth = device.boot("86400 signal TERM\n", failing);
    const size_t held = fourth.find("ERROR:The update of /mnt-us/update.bin did not finish in 3 boots\n");
    ASSERT_NE(held, std::string::npos) << fourth.output;
    EXPECT_NE(fourth.find("holding the reader in recovery", held), std::string::npos);
    EXPECT_EQ(fourth.find("*** CHECKING"), std::string::npos);
    EXPECT_NE(fourth.find("INFO:Error code: 11\n", held), std::string::npos);
    EXPECT_EQ(fourth.find("giving it up"), std::string::npos);
    EXPECT_EQ(fourth.last_line(), "SIM: power-off") << fourth.output;
    EXPECT_TRUE(exists(device.path("userstore/update.bin")));
    EXPECT_TRUE(exists(device.path("userstore/install.jnl")));

    // The next power-up tries again, with the partition healed.
    const auto fifth = device.boot(press_r);
    EXPECT_NE(fifth.find("starting it again (boot 3 of 3)"), std::string::npos) << fifth.output;
    EXPECT_NE(fifth.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << fifth.output;
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
    const std::string kernel_bytes = test::read_file(kernel);
    EXPECT_EQ(test::file_bytes(device.path("mmc0.img"), 266240, kernel_bytes.size()), kernel_bytes);
}

// A full user store (or one that fails its writes or flushes) cannot take
// the journal: nothing is installed, and the reader boots on to its system
// instead of waiting for R at every boot. A boot that could not try does
// not count: the bundle stays, however many boots pass, for when there is
// room. The faults name the journal and the file it is written to first.
class UnrecordedBoot : public Resume, public testing::WithParamInterface<const char*> {};

TEST_P(UnrecordedBoot, InstallsNothingCountsNothingAndKeepsTheBundle) {
    const std::string fault = GetParam();
    const std::vector<std::string> full = {"--fault", fault + ":/mnt-us/install.jnl", "--fault",
                                           fault + ":/mnt-us/install.jnl.new"};
    const std::string before = test::read_file(device.path("mmc0.img"));
    for (unsigned boot = 1; boot <= install_boots + 2; ++boot) {
        const auto run = device.boot("300 signal TERM\n", full);
        EXPECT_NE(run.find("ERROR:Could not record the update in /mnt-us/install.jnl; not installing "
                           "/mnt-us/update.bin\n"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(run.find("*** CHECKING"), std::string::npos) << run.output;
        EXPECT_EQ(run.find("Press R"), std::string::npos) << run.output;
        EXPECT_NE(run.find("INFO:drawing string '0003'"), std::string::npos) << run.output;
        EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << "boot " << boot;
        ASSERT_TRUE(exists(device.path("userstore/update.bin"))) << "boot " << boot << run.output;
    }
    EXPECT_TRUE(test::read_file(device.path("mmc0.img")) == before) << "something was written";
    const auto room = device.boot();
    EXPECT_NE(room.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << room.output;
    EXPECT_EQ(room.find("starting it again"), std::string::npos) << room.output;
}

INSTANTIATE_TEST_SUITE_P(Faults, UnrecordedBoot, testing::Values("eio", "eio-fsync"));

TEST_F(Resume, BundleThatCouldNotBeReadIsKeptAndInstalledAtTheNextBoot) {
    // One read of the check pass fails: the medium, not the bundle.
    const auto failed = device.boot(press_r, {"--fault", "eio-read:/mnt-us/update.bin:3"});
    EXPECT_NE(failed.find(kept + " (1 of 3 boots used)\n"), std::string::npos) << failed.output;
    EXPECT_EQ(failed.last_line(), failover_reboot);
    EXPECT_TRUE(exists(device.path("userstore/update.bin")));
    const auto next = device.boot(press_r);
    EXPECT_NE(next.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << next.output;
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
    const std::string kernel_bytes = test::read_file(kernel);
    EXPECT_EQ(test::file_bytes(device.path("mmc0.img"), 266240, kernel_bytes.size()), kernel_bytes);
}

// The first boot tore the root file system; before the next one a byte of
// the bundle changed on the medium, so it is refused. It can never finish
// the update: it goes, but the journal stays, and the reader is held in
// recovery at every boot (never handed over to the torn partition) until a
// good bundle comes, which then finishes the update.
TEST(ResumeRefused, BundleOfAnUnfinishedUpdateGoesAndTheReaderIsHeldUntilAGoodOne) {
    test::UpdateDevice device;
    std::string plain;
    const std::string rootfs = device.rootfs_image("rootfs.img", &plain);
    const std::string bundle = device.bundle("update.bin", {{"rootfs.img.gz", rootfs}});
    device.drop(bundle, "update.bin");
    device.boot(press_r, {"--fault", "eio:/dev/mmcblk0p1:3-100000"});
    std::string bytes = test::read_file(device.path("userstore/update.bin"));
    bytes[bytes.size() - 2000] = static_cast<char>(bytes[bytes.size() - 2000] ^ 0x20);
    test::write_file(device.path("userstore/update.bin"), bytes);
    for (int boot = 1; boot <= 2; ++boot) {
        const auto run = device.boot(press_r);
        EXPECT_NE(run.find("holding the reader in recovery"), std::string::npos) << run.output;
        EXPECT_NE(run.find("INFO:Error code: 11\n"), std::string::npos) << run.output;
        EXPECT_EQ(run.find("BOOTING DEFAULT."), std::string::npos) << run.output;
        EXPECT_FALSE(exists(device.path("userstore/update.bin")));
        EXPECT_TRUE(exists(device.path("userstore/install.jnl")));
    }
    device.drop(bundle, "update.bin");
    const auto good = device.boot();
    EXPECT_NE(good.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << good.output;
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
    const std::string image = test::read_file(plain);
    EXPECT_TRUE(test::file_bytes(device.path("mmc0.img"), 7688ULL * 512, image.size()) == image);
    EXPECT_EQ(device.boot().last_line(), "SIM: exec /bin/kinit");
}

TEST(ResumeWithoutBundle, JournalRepairsTheFlashCopiesAndGoes) {
    test::UpdateDevice device({"--family", "nor"});
    const std::string old_kernel = device.kernel_image("old-uImage", 300000, 10);
    const std::string old_uboot = device.bootloader_image("old-u-boot.bin", 30000, 11);
    for (const auto& [partition, image] : {std::pair{"mtd1.img", old_kernel}, {"mtd4.img", old_kernel},
                                           {"mtd0.img", old_uboot}, {"mtd3.img", old_uboot}}) {
        std::string flash = test::read_file(device.path(partition));
        flash.replace(0, test::read_file(image).size(), test::read_file(image));
        test::write_file(device.path(partition), flash);
    }
    const std::string kernel = device.kernel_image("uImage", 300000, 12);
    device.drop(device.bundle("update.bin", {{"uImage", kernel}}, {"--family", "orvik"}), "update.bin");
    // The first write of the new kernel lands, every later one fails: the
    // first kernel copy is torn, and so is the repair of it in that boot.
    device.boot(press_r, {"--fault", "eio:/dev/mtdblock/1:2-100000"});
    const std::string old_bytes = test::read_file(old_kernel);
    ASSERT_NE(test::file_bytes(device.path("mtd1.img"), 0, old_bytes.size()), old_bytes);
    // Someone takes the bundle away before the next boot.
    std::remove(device.path("userstore/update.bin").c_str());
    const auto run = device.boot();
    EXPECT_NE(run.find("INFO:An update of update.bin did not finish and its bundle is gone\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.find("INFO:Successfully copied Kernel2 to Kernel1\n"), std::string::npos) << run.output;
    EXPECT_EQ(test::file_bytes(device.path("mtd1.img"), 0, old_bytes.size()), old_bytes);
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

struct HangCase {
    const char* name;
    std::vector<std::string> init;
    const char* hung_path;
    int boots_to_handoff;  // the last one hands over
};

class HungDevice : public testing::TestWithParam<HangCase> {};

// A device that never answers ends in the watchdog's restart, and the
// journal stops the restarts after three boots.
TEST_P(HungDevice, RestartsTheReaderAndTheJournalEndsTheRestarts) {
    test::UpdateDevice device(GetParam().init);
    const bool nor = !GetParam().init.empty();
    const std::string kernel = device.kernel_image("uImage", 20000, 2);
    device.drop(nor ? device.bundle("update.bin", {{"uImage", kernel}}, {"--family", "orvik"})
                    : device.bundle("update.bin", {{"imx35_selda/uImage", kernel}}),
                "update.bin");
    const std::vector<std::string> hang = {"--fault", std::string("hang:") + GetParam().hung_path};
    for (int boot = 1; boot < GetParam().boots_to_handoff; ++boot) {
        const auto run = device.boot("", hang);
        EXPECT_NE(run.find("*** Unexpected Timeout during routine -- rebooting! ***"), std::string::npos)
            << "boot " << boot << run.output;
        EXPECT_EQ(run.last_line(), failover_reboot) << "boot " << boot;
    }
    const auto last = device.boot("", hang);
    EXPECT_EQ(last.last_line(), "SIM: exec /bin/kinit") << last.output;
    if (GetParam().boots_to_handoff == 4) {
        EXPECT_NE(last.find("INFO:drawing string '0010'"), std::string::npos);
    }
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
}

INSTANTIATE_TEST_SUITE_P(
    Devices, HungDevice,
    testing::Values(HangCase{"bundle_open", {}, "/mnt-us/update.bin", 4},
                    // Giving up checks the copies once more, and that hangs
                    // too; the journal is gone by then.
                    HangCase{"nor_flash_check", {"--family", "nor"}, "/dev/mtd/1", 5}),
    test::ParamName());

// A journal as a boot leaves it, with its CRC line (the text before it as
// zlib's CRC-32 gives it).
std::string journal_with_crc(const std::string& body) {
    const auto crc =
        test::run_tool("python3 -c 'import sys, zlib; print(\"%08x\" % zlib.crc32(sys.stdin.buffer.read()))'", body);
    return body + "crc " + crc.output.substr(0, 8) + "\n";
}

std::string bundle_size(const std::string& path) { return std::to_string(test::read_file(path).size()); }

// A panel whose start hangs costs neither the bundle nor the boot: the
// start ends after 15 seconds and the update goes on without the panel.
TEST_F(Resume, PanelWhoseStartHangsIsLeftOutAndTheUpdateGoesOn) {
    const auto run = device.boot("", {"--fault", "hang:/dev/fb0"});
    EXPECT_NE(run.find("WARNING:The panel did not start in 15 seconds; going on without it\n"), std::string::npos)
        << run.output;
    EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("Unexpected Timeout"), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag written \"0\\n\")");
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
}

// A start that never came back, which only the watchdog could end, left its
// note in the journal: the next boot leaves the panel out instead of
// hanging again, and the boot that hung did not count.
TEST_F(Resume, PanelStartThatNeverCameBackIsLeftOutAtTheNextBoot) {
    test::write_file(
        device.path("userstore/install.jnl"),
        journal_with_crc("quillmar install journal 1\nbundle update.bin\nsize " +
                         bundle_size(device.path("userstore/update.bin")) + "\nboots 0\npanel starting\n"));
    const auto run = device.boot();
    EXPECT_NE(run.find("WARNING:The panel did not come back from its start at the last boot; updating without it\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.find("INFO:eink initialized"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("starting it again"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << run.output;
}

// The update is installed; only switching diagnostics mode off fails (the
// new root file system is not one the recovery program can mount). The
// next boots do not install it again and do not call it given up: once they
// have tried as often as any update may, the bundle goes with the update
// called installed.
TEST(ResumeLastStep, UpdateWhoseLastStepFailsIsNotInstalledAgainNorGivenUp) {
    test::UpdateDevice device;
    const std::string rootfs = device.random_file("rootfs.img", 30000, 4);
    ASSERT_EQ(std::system(("gzip -n -f " + rootfs).c_str()), 0);
    device.drop(device.bundle("update.bin", {{"imx35_selda/uImage", device.random_file("uImage", 20000, 2)},
                                             {"rootfs.img.gz", rootfs + ".gz"}}),
                "update.bin");
    const auto first = device.boot();
    EXPECT_NE(first.find("EMERGENCY:Could not set as non-diags\n"), std::string::npos) << first.output;
    EXPECT_NE(first.find(kept + " (1 of 3 boots used)\n"), std::string::npos) << first.output;
    EXPECT_EQ(first.last_line(), "SIM: reboot (kernel_boot_flag written \"0\\n\")") << "not restarted into it";
    EXPECT_NE(test::read_file(device.path("userstore/install.jnl")).find("\ninstalled yes\n"), std::string::npos);
    const auto second = device.boot();
    EXPECT_NE(second.find("INFO:The images of /mnt-us/update.bin are in place; finishing the update\n"),
              std::string::npos)
        << second.output;
    EXPECT_EQ(second.find("*** CHECKING"), std::string::npos) << "installed again";
    EXPECT_EQ(second.last_line(), "SIM: exec /bin/kinit");
    const auto last = device.boot();
    EXPECT_EQ(last.find("*** CHECKING"), std::string::npos) << "installed again";
    EXPECT_NE(last.find("WARNING:Diagnostics mode could not be switched off in 3 boots; the update is installed\n"),
              std::string::npos)
        << last.output;
    EXPECT_NE(last.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos);
    EXPECT_EQ(last.find("giving it up"), std::string::npos);
    EXPECT_EQ(last.find("Error code: 10"), std::string::npos);
    EXPECT_FALSE(exists(device.path("userstore/update.bin")));
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
}

// A folder of the owner's named install.jnl used to make every journal
// write fail, so no update could ever be installed: it is left alone and
// the journal takes its spare name.
TEST_F(Resume, FolderNamedLikeTheJournalIsLeftAloneAndTheUpdateInstalls) {
    std::filesystem::create_directory(device.path("userstore/install.jnl"));
    test::write_file(device.path("userstore/install.jnl/notes.txt"), "mine\n");
    const auto run = device.boot("", {"--fault", "powercut:3"});
    ASSERT_TRUE(exists(device.path("userstore/install2.jnl"))) << run.output;
    const auto next = device.boot();
    EXPECT_NE(next.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << next.output;
    EXPECT_NE(next.find("starting it again"), std::string::npos) << next.output;
    EXPECT_EQ(test::read_file(device.path("userstore/install.jnl/notes.txt")), "mine\n");
    EXPECT_FALSE(exists(device.path("userstore/install2.jnl")));
}

// A reader held in recovery offers its user store to a USB host; once the
// host has copied a good bundle and gone, the reader restarts and installs
// it.
TEST_F(Resume, HeldReaderOffersItsUserStoreOverUsbAndTakesTheNewBundle) {
    const std::string bundle = test::read_file(device.path("userstore/update.bin"));
    device.boot(press_r, {"--fault", "eio:/dev/mmcblk0p1:3-100000"});
    std::remove(device.path("userstore/update.bin").c_str());
    const auto held = device.boot("100 usb host on\n200 usb cable off\n");
    EXPECT_NE(held.find("holding the reader in recovery"), std::string::npos) << held.output;
    EXPECT_NE(held.find("INFO:storage_export(/dev/mmcblk0p4): exporting\n"), std::string::npos) << held.output;
    const size_t connected = held.find("USB CONNECTED!!");
    ASSERT_NE(connected, std::string::npos) << held.output;
    EXPECT_NE(held.find("USB DISCONNECTED!!", connected), std::string::npos);
    EXPECT_EQ(held.last_line(), failover_reboot);
    test::write_file(device.path("userstore/update.bin"), bundle);  // what the host copied
    const auto next = device.boot();
    EXPECT_NE(next.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << next.output;
    EXPECT_FALSE(exists(device.path("userstore/install.jnl")));
}

// Every file and device the boot and the update open, hung (a driver that
// never answers): the run ends in the watchdog's restart or goes on, and
// never waits for ever. Both families, with and without a bundle, and a
// reader held in recovery (the panel and the USB storage of the hold).
struct HangTableCase {
    const char* name;
    std::vector<std::string> init;
    enum { none, bundle, held } state;
};

class HangTable : public testing::TestWithParam<HangTableCase> {};

const char* const opened_paths[] = {
    "/proc/board_id",
    "/proc/usid",
    "/proc/cpu/clocks",
    "/proc/sys/kernel/hotplug",
    "/proc/bootglobals/kernel_boot_flag",
    "/lib/modules/mxc_keyb.ko",
    "/lib/modules/fiveway.ko",
    "/dev/input/event0",
    "/dev/input/event1",
    "/dev/input/event2",
    "/dev/input/event3",
    "/dev/i2c/0",
    "/dev/mmcblk0",
    "/dev/mmcblk0p1",
    "/dev/mmcblk0p2",
    "/dev/mmcblk0p3",
    "/dev/mmcblk0p4",
    "/dev/loop0",
    "/mnt-us",
    "/mnt-us/update.bin",
    "/mnt-us/install.jnl",
    "/mnt-us/install.jnl.new",
    "/diagsfs.img",
    "/lib/modules/eink_fb_hal.ko",
    "/lib/modules/eink_fb_hal_broads.ko",
    "/lib/modules/eink_fb_shim.ko",
    "/dev/fb0",
    "/dev/mtd/0",
    "/dev/mtd/1",
    "/dev/mtd/3",
    "/dev/mtd/4",
    "/dev/mtdblock/0",
    "/dev/mtdblock/1",
    "/dev/mtdblock/3",
    "/dev/mtdblock/4",
    "/lib/modules/charger.ko",
    "/lib/modules/arcotg_udc.ko",
    "/lib/modules/g_file_storage.ko",
    "/sys/devices/platform/arc_udc/gadget/gadget-lun0/file",
    "/sys/devices/platform/fsl-usb2-udc/gadget/gadget-lun0/file",
};

TEST_P(HangTable, NoOpenThatHangsWaitsForEver) {
    const HangTableCase& c = GetParam();
    test::UpdateDevice device(c.init);
    const bool nor = !c.init.empty();
    test::write_file(device.path("device.conf"), test::read_file(device.path("device.conf")) + "screens=none\n");
    const std::string kernel = device.kernel_image("uImage", 20000, 2);
    const std::string rootfs = device.rootfs_image("rootfs.img");
    const std::string bundle =
        nor ? device.bundle("update.bin", {{"uImage", kernel}, {"rootfs.img.gz", rootfs}}, {"--family", "orvik"})
            : device.bundle("update.bin",
                            {{"imx35_selda/uImage", kernel}, {"rootfs.img.gz", rootfs}, {"diagsfs.img", kernel}});
    if (c.state == HangTableCase::bundle) device.drop(bundle, "update.bin");
    if (c.state == HangTableCase::held)
        test::write_file(device.path("userstore/install.jnl"),
                         journal_with_crc("quillmar install journal 1\nbundle gone.bin\nsize 5\nboots 2\n"
                                          "unfinished RootFS\n"));
    for (const char* path : opened_paths) {
        test::TempDir dir;
        const std::string copy = dir / "dev";
        ASSERT_EQ(std::system(("cp -a --sparse=always " + device.path("") + " " + copy).c_str()), 0);
        const auto run = test::run_sim({"boot", copy, "--fault", std::string("hang:") + path});
        EXPECT_EQ(run.exit_code, 0) << path << "\n"
                                    << run.output.substr(run.output.size() > 3000 ? run.output.size() - 3000 : 0);
        EXPECT_FALSE(run.contains("SIM: stuck")) << path;
        const std::string end = run.last_line();
        EXPECT_TRUE(end == "SIM: exec /bin/kinit" || end == "SIM: power-off" || end.starts_with("SIM: reboot"))
            << path << ": " << end;
        if (c.state == HangTableCase::held) {
            EXPECT_NE(end, "SIM: exec /bin/kinit") << path << " handed over";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Readers, HangTable,
                         testing::Values(HangTableCase {"mmc_without_bundle", {}, HangTableCase::none},
                                         HangTableCase {"mmc_with_bundle", {}, HangTableCase::bundle},
                                         HangTableCase {"mmc_held", {}, HangTableCase::held},
                                         HangTableCase {"nor_without_bundle", {"--family", "nor"}, HangTableCase::none},
                                         HangTableCase {"nor_with_bundle", {"--family", "nor"}, HangTableCase::bundle},
                                         HangTableCase {"nor_held", {"--family", "nor"}, HangTableCase::held}),
                         test::ParamName());

}  // namespace

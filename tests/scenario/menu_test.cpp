#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include "support/param_name.h"
#include "support/people.h"

namespace {

const std::string developer_menu =
    test::charge_line(80) +
    "\n\nDeveloper Menu\n====\n3. Load MMC0 over USB storage\n4. Erase MMC0\n"
    "I. Initialize Partition Table (fdisk) and format FAT\nO. Format and overwrite FAT partition\n"
    "E. Export FAT partition\nU. Update using update*.bin file on FAT partition\n"
    "M. Update using update*.bin file on FAT partition of second MMC port\n"
    "D. dmesg / kernel printk ring buffer.\nL. Show the log of the last update (update-log.txt)\nQ. quit\n"
    "Choose: ";

std::string storage_menu(const std::string& label) {
    return test::charge_line(80) + "\n[" + label + "]\n1. done\nR. reboot\nChoose: ";
}

const std::string clean_reboot = "SIM: reboot (kernel_boot_flag written \"0\\n\")";
const std::string failover_reboot = "SIM: reboot (kernel_boot_flag untouched)";
const std::string password = "qLm4re446";  // of the default serial B0A1C2D3E4F50001

TEST(DeveloperMenu, TenQuietSecondsHandOver) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n");
    EXPECT_TRUE(run.contains(developer_menu + test::countdown_wait(10) + "\nMenu timeout\n")) << run.output;
    EXPECT_TRUE(run.contains("\nMenu timeout\nBOOTING DEFAULT.\n")) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

// After a failed hand-off the menu finds everything the hand-off took
// down again: the panel, the USB storage drivers (the export works), the
// keypad (R comes from it) and /proc (the clean reboot writes the flag).
TEST(DeveloperMenu, HandOffFailureBringsTheRecoveryEnvironmentBack) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    std::remove((dir / "dev/bin/kinit").c_str());
    test::write_file(dir / "script", "0.3 key KPENTER\n25 console E\n27 console 1\n29 key R\n"
                                     // Ends a run whose keypad did not come back.
                                     "120 signal TERM\n");
    const auto run = test::run_sim({"boot", dir / "dev", "--script", dir / "script"});
    const size_t failed = run.find("\nMenu timeout\nBOOTING DEFAULT.\nexecl(): No such file or directory\n");
    ASSERT_NE(failed, std::string::npos) << run.output;
    const size_t menu = run.find("INFO:eink initialized... 600x800 (240000 bytes)\n" + developer_menu, failed);
    EXPECT_NE(menu, std::string::npos) << run.output;
    EXPECT_EQ(run.find("ERROR:Could not display eink image"), std::string::npos) << run.output;
    EXPECT_NE(run.find("\n\nINFO:storage_export(/dev/mmcblk0p4): exporting\n" + storage_menu("FAT32"), menu),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.find("open error"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), clean_reboot);
}

struct EntryCase {
    const char* name;
    std::string keys;      // console lines typed one second apart after ENTER
    std::string expected;  // appears after the first menu
    std::string last_line;
    std::string setup = "";  // more script lines
};

class MenuEntries : public testing::TestWithParam<EntryCase> {};

TEST_P(MenuEntries, KeyDoesWhatTheEntrySays) {
    const EntryCase& c = GetParam();
    // The menu comes up once the display has started, about 3 s in.
    std::string script = "0.2 console\n" + c.setup;
    std::string keys = c.keys;
    int at = 4;
    for (size_t start = 0; start < keys.size(); ++at) {
        const size_t end = keys.find(' ', start);
        script += std::to_string(at) + " console " + keys.substr(start, end - start) + "\n";
        start = end == std::string::npos ? keys.size() : end + 1;
    }
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, script);
    const size_t menu = run.find(developer_menu);
    ASSERT_NE(menu, std::string::npos) << run.output;
    EXPECT_NE(run.find(c.expected, menu), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), c.last_line) << run.output;
}

const std::string after_key = "\n\n";

INSTANTIATE_TEST_SUITE_P(
    Keys, MenuEntries,
    testing::Values(
        EntryCase{"q_quits", "q", after_key + "INFO:Rebooting ... failing over to alternate kernel\n", failover_reboot},
        EntryCase{"Q_quits", "Q", after_key + "INFO:Rebooting ... failing over", failover_reboot},
        EntryCase{"x_quits", "x", after_key + "INFO:Rebooting ... failing over", failover_reboot},
        EntryCase{"X_quits", "X", after_key + "INFO:Rebooting ... failing over", failover_reboot},
        EntryCase{"r_reboots_clean", "r", after_key + "INFO:Rebooting ... \nPlease wait", clean_reboot},
        EntryCase{"R_reboots_clean", "R", after_key + "INFO:Rebooting ... \nPlease wait", clean_reboot},
        EntryCase{"unknown", "z q", after_key + "Unknown option 'z'\n\n" + developer_menu, failover_reboot},
        EntryCase{"idle_keys_show_it_again", "/ q", " 10 /\n\n" + developer_menu, failover_reboot},
        EntryCase{"d_dumps_the_kernel_log", "d q", after_key + "\n=== kernel printk buffer", failover_reboot},
        EntryCase{"D_dumps_the_kernel_log", "D q", after_key + "\n=== kernel printk buffer", failover_reboot},
        EntryCase{"u_without_user_store", "u q",
                  "ERROR:Cannot update because I cannot mount rootfs\n" + developer_menu, failover_reboot,
                  "3.5 fault vanish:/dev/mmcblk0p4\n"},
        EntryCase{"M_without_second_card", "M q",
                  "ERROR:Cannot update because I cannot mount rootfs\n" + developer_menu, failover_reboot},
        EntryCase{"e_without_user_store", "e q",
                  after_key +
                      "ERROR:storage_export(/dev/mmcblk0p4): stat error: No such file or directory (2)\n"
                      "INFO:main_menu: storage_export(/dev/mmcblk0p4) failed" + developer_menu,
                  failover_reboot, "3.5 fault vanish:/dev/mmcblk0p4\n"},
        EntryCase{"wrong_password", "3 qlm4re446 q",
                  after_key + "PASSWORD: INFO:invalid password!\n" + developer_menu, failover_reboot},
        EntryCase{"J_runs_the_erase_check", "J \\r q",
                  after_key + "*** Press ENTER or Select to continue booting normally ***\n"
                              "enter \"RESET\" to erase the device and enter quillmar.\nEnter: /\n"
                              "INFO:Factory reset aborted, booting normally.\nINFO:Erase check returned 0\n" +
                      developer_menu,
                  failover_reboot},
        EntryCase{"j_confirmed", "j r e s e t q", "INFO:Code matched.\nINFO:Erase check returned 1\n",
                  failover_reboot}),
    test::ParamName());

TEST(DeveloperMenu, WrongPasswordExportsNothing) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n4 console 3\n5 console nope\n6 console q\n");
    EXPECT_TRUE(run.contains("INFO:invalid password!\n")) << run.output;
    EXPECT_FALSE(run.contains("exporting")) << run.output;
    EXPECT_FALSE(run.contains("[MMC0]")) << run.output;
}

// Nobody answers the password prompt: it counts as a wrong password after
// a while, and the menu then hands over as when left alone. A password typed
// within the minute still opens the export.
TEST(DeveloperMenu, UnansweredPasswordPromptGivesUpAndTheMenuHandsOver) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n4 console 3\n");
    EXPECT_EQ(run.exit_code, 0) << run.output;
    EXPECT_TRUE(run.contains("PASSWORD: INFO:invalid password!\n")) << run.output;
    EXPECT_TRUE(run.contains("\nMenu timeout\n")) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");

    test::TempDir late;
    const auto typed = test::boot_with_script(
        late, "0.2 console\n4 console 3\n50 console " + password + "\n55 console 1\n60 console q\n");
    EXPECT_TRUE(typed.contains("PASSWORD: INFO:storage_export(/dev/mmcblk0): exporting\n")) << typed.output;
}

TEST(DeveloperMenu, FailedGaugeReadingShowsUnknownCharge) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n0.5 gauge-error on\n1 console /\n3 console q\n");
    EXPECT_TRUE(run.contains("/dev/i2c/0:Input/output error\nCharge: Unknown\n\n\nDeveloper Menu\n")) << run.output;
}

TEST(StorageMenu, FollowsTheHostConnectingAndLeaving) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir,
                                            "0.2 console\n4 console 3\n5 console " + password +
                                                "\n7.5 usb host on\n11.5 usb cable off\n13 console q\n");
    const std::string expected =
        "PASSWORD: INFO:storage_export(/dev/mmcblk0): exporting\n" + storage_menu("MMC0") +
        "\n\n\nUSB CONNECTED!!\n" + storage_menu("MMC0") +
        "\n\n\nUSB DISCONNECTED!!\nINFO:storage_export(): Disabling USB storage\n";
    const std::string output = test::without_spinners(run.output);
    const size_t withdrawn = output.find(expected);
    ASSERT_NE(withdrawn, std::string::npos) << run.output;
    // The kernel re-reads the table the host may have written, then the
    // menu comes back.
    EXPECT_NE(output.find(developer_menu, withdrawn), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
}

TEST(StorageMenu, HostAlreadyAttachedConnectsAtOnce) {
    test::TempDir dir;
    const auto run = test::boot_with_script(
        dir, "0 usb host on\n0.2 console\n4 console 3\n5 console " + password + "\n8 console 1\n9 console q\n");
    // Connected before any wait: the spinner shows its first character only.
    EXPECT_TRUE(run.contains(storage_menu("MMC0") + "/\n\n\nUSB CONNECTED!!\n")) << run.output;
    EXPECT_NE(test::without_spinners(run.output)
                  .find("\n\n\nUSB CONNECTED!!\n" + storage_menu("MMC0") +
                        "\n\nINFO:storage_export(): Disabling USB storage\n"),
              std::string::npos)
        << run.output;
}

TEST(StorageMenu, NulOnTheConsoleDoesNotWithdrawTheMediumFromAnAttachedHost) {
    test::TempDir dir;
    // A serial break while the host is attached; the host leaves at 8 s.
    const auto run = test::boot_with_script(
        dir, "0 usb host on\n0.2 console\n4 console E\n6 console \\x00\n8 usb host off\n10 console q\n");
    const size_t connected = run.find("\nUSB CONNECTED!!\n");
    ASSERT_NE(connected, std::string::npos) << run.output;
    EXPECT_NE(run.find("\nUSB DISCONNECTED!!\n", connected), std::string::npos) << run.output;
    EXPECT_EQ(run.find("Unknown option"), std::string::npos) << run.output;
    const size_t detached = run.find("] usb: host detached\n");
    const size_t ejected = run.find("] g_file_storage: lun0: medium ejected\n");
    ASSERT_NE(detached, std::string::npos) << run.output;
    EXPECT_GT(ejected, detached) << "the medium stays until the host has gone\n" << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
}

TEST(StorageMenu, QuietThirtySecondsSayStillAlive) {
    test::TempDir dir;
    const auto run = test::boot_with_script(
        dir, "0.2 console\n4 console 3\n5 console " + password + "\n73 console x\n74 console 1\n75 console q\n");
    EXPECT_TRUE(run.contains(storage_menu("MMC0") + test::spinner_wait(30) + "still alive...\n" +
                             storage_menu("MMC0") + test::spinner_wait(30) + "still alive...\n"))
        << run.output;
    const std::string quiet = storage_menu("MMC0") + "still alive...\n";
    EXPECT_NE(test::without_spinners(run.output)
                  .find(quiet + quiet + storage_menu("MMC0") + "\n\nUnknown option 'x'\n\n" + storage_menu("MMC0")),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
}

// Nobody brings a host: a console that hung up after the export, or a
// factory reset whose owner walked away. The menu ends at its bound as
// "1. done" does and the medium is withdrawn; a host that came is waited
// for however long it stays. Each script stops the program past the
// bound, so that a menu still waiting ends in a restart instead.
struct HostWaitCase {
    const char* name;
    std::string script;
    bool left_at_bound;
    const char* after;  // what follows the menu
    std::string last_line;
};

void PrintTo(const HostWaitCase& c, std::ostream* os) { *os << c.name; }

class HostWait : public testing::TestWithParam<HostWaitCase> {};

TEST_P(HostWait, EndsOnlyWithoutAHost) {
    const HostWaitCase& c = GetParam();
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, c.script + "1500 signal TERM\n");
    const std::string left =
        "INFO:No USB host came within 600 seconds, leaving the storage menu\n"
        "INFO:storage_export(): Disabling USB storage\n";
    EXPECT_EQ(run.contains(left), c.left_at_bound) << run.output;
    EXPECT_NE(run.find(c.after), std::string::npos) << run.output;
    EXPECT_EQ(run.find("Caught signal"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), c.last_line);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostWait,
    testing::Values(HostWaitCase {"console_hangs_up", "0.2 console\n4 console E\n6 console-hangup\n", true,
                                  "Menu timeout\nBOOTING DEFAULT.\n", "SIM: exec /bin/kinit"},
                    HostWaitCase {"factory_reset_nobody_follows_up",
                                  "0.2 console /\n4 console r\n5 console e\n6 key S\n7 console E\n8 key T\n", true,
                                  "INFO:Checking for updates... (auto-pilot mode)\n", failover_reboot},
                    HostWaitCase {"host_stays_past_the_bound",
                                  "0 usb host on\n0.2 console\n4 console E\n6 console-hangup\n900 usb host off\n",
                                  false, "\nUSB DISCONNECTED!!\nINFO:storage_export(): Disabling USB storage\n",
                                  "SIM: exec /bin/kinit"}),
    test::ParamName());

TEST(StorageMenu, RebootKey) {
    test::TempDir dir;
    const auto run =
        test::boot_with_script(dir, "0.2 console\n4 console 3\n5 console " + password + "\n6 key R\n");
    EXPECT_TRUE(run.contains(storage_menu("MMC0") + "/\n\nINFO:Rebooting ... \n")) << run.output;
    EXPECT_EQ(run.last_line(), clean_reboot);
}

}  // namespace

namespace {

TEST(DeveloperMenu, ExportOfTheUserStoreRunsTheStorageMenu) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n4 console E\n6 console 1\n8 console q\n");
    EXPECT_NE(test::without_spinners(run.output)
                  .find("\n\nINFO:storage_export(/dev/mmcblk0p4): exporting\n" + storage_menu("FAT32") +
                        "\n\nINFO:storage_export(): Disabling USB storage\n" + developer_menu),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
}

TEST(DeveloperMenu, PartitioningIsFollowedByFormattingEvenWhenItFails) {
    test::TempDir dir;
    // The table cannot be written: formatting still follows.
    const auto run = test::boot_with_script(dir, "0.2 console\n3.5 fault eio:/dev/mmcblk0\n4 console i\n"
                                                 "6 console q\n");
    const size_t loading = run.find("\n\nINFO:Loading original MBR from MMC0 (/dev/mmcblk0) ... \n");
    ASSERT_NE(loading, std::string::npos) << run.output;
    const size_t formatting = run.find("INFO:Formatting userstore\n", loading);
    EXPECT_NE(formatting, std::string::npos) << run.output;
    EXPECT_NE(run.find(developer_menu, formatting), std::string::npos) << run.output;
}

TEST(DeveloperMenu, FormatOnlyFormats) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n4 console O\n6 console q\n");
    const size_t formatting = run.find("\n\nINFO:Formatting userstore\n");
    ASSERT_NE(formatting, std::string::npos) << run.output;
    EXPECT_EQ(run.find("Loading original MBR from MMC0", formatting), std::string::npos) << run.output;
    EXPECT_NE(run.find("mkdosfs: /dev/loop0: FAT32", formatting), std::string::npos) << run.output;
}

TEST(DeveloperMenu, EraseEntryErasesTheWholeMmc) {
    test::TempDir dir;
    // A failing first write keeps the test from zero-filling a whole MMC.
    const auto run = test::boot_with_script(dir, "0.2 console\n3.5 fault eio:/dev/mmcblk0\n4 console 4\n"
                                                 "6 console q\n");
    EXPECT_TRUE(run.contains("\n\nERROR:MMC0:Input/output error(5)\n")) << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
}

TEST(FactoryReset, ConfirmedOnTheKeypadAfterAFailedHandOffStillOffersTheUserStore) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    std::remove((dir / "dev/bin/kinit").c_str());
    // "/" asks for the erase check, ENTER declines it, the hand-off fails,
    // and the word is typed on the keypad at the second erase check.
    test::write_file(dir / "script", "0.3 console /\n4 console\n12 key R\n13 key E\n14 key S\n15 key E\n16 key T\n"
                                     "40 usb host on\n42 usb host off\n200 console 1\n");
    const auto run = test::run_sim({"boot", dir / "dev", "--script", dir / "script"});
    const size_t failed = run.find("execl(): No such file or directory\n");
    ASSERT_NE(failed, std::string::npos) << run.output;
    const size_t matched = run.find("INFO:Code matched.\n", failed);
    ASSERT_NE(matched, std::string::npos) << run.output;
    EXPECT_NE(test::without_spinners(run.output)
                  .find("INFO:storage_export(/dev/mmcblk0p4): exporting\n" + storage_menu("FAT32") +
                        "\n\n\nUSB CONNECTED!!\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.find("open error"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
}

TEST(FactoryReset, ConfirmedAtTheDeviceErasesAndOffersTheUserStore) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir,
                                            "0.2 console /\n4 console r\n5 console e\n6 key S\n7 console E\n"
                                            "8 key T\n30 usb host on\n32 usb host off\n"
                                            // Ends the storage menu should the host have come too early.
                                            "200 console 1\n");
    const std::string output = test::without_spinners(run.output);
    const size_t matched = output.find("INFO:Code matched.\nINFO:*****");
    ASSERT_NE(matched, std::string::npos) << run.output;
    const size_t connected =
        output.find("INFO:storage_export(/dev/mmcblk0p4): exporting\n" + storage_menu("FAT32") +
                        "\n\n\nUSB CONNECTED!!\n" + storage_menu("FAT32") +
                        "\n\n\nUSB DISCONNECTED!!\nINFO:storage_export(): Disabling USB storage\n"
                        "INFO:Checking for updates... (auto-pilot mode)\n",
                    matched);
    EXPECT_NE(connected, std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), failover_reboot);
}

}  // namespace

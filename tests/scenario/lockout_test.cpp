#include <gtest/gtest.h>

#include "support/param_name.h"
#include "support/people.h"

namespace {

const std::string low_notice = "\n=== BATTERY IS CRITICALLY LOW - DEFERRING BOOT ===\n";

std::string lockout_menu(int charge) {
    return test::charge_line(charge) + "\n[Critical Battery Lock-out Menu]\n1. Skip\nR. reboot\nChoose: ";
}

TEST(Lockout, EndsWhenTheChargeRises) {
    test::TempDir dir;
    // The gauge is re-read after each ten quiet seconds; the change at 25 s
    // is seen at the third time-out.
    const auto run = test::boot_with_script(dir, "25 battery 3\n", {"--battery", "0"});
    const std::string pass = lockout_menu(0) + test::spinner_wait(10);
    const std::string expected =
        low_notice + pass + pass + pass + "\n=== BATTERY HAS SUFFICIENT CHARGE (3%) ===\n";
    EXPECT_TRUE(run.contains(expected)) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << run.output;
    // The USB drivers (and with them the charger) were loaded while it waited.
    EXPECT_TRUE(run.contains("INFO:Loaded module /lib/modules/arcotg_udc.ko")) << run.output;
}

struct KeyCase {
    const char* name;
    const char* key;
    std::string reply;
    const char* last_line;
};

class LockoutKeys : public testing::TestWithParam<KeyCase> {};

TEST_P(LockoutKeys, ConsoleKeyEndsOrRestartsTheLockout) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir,
                                            std::string("5.5 console ") + GetParam().key +
                                                "\n"
                                                "40 battery 50\n",
                                            {"--battery", "0"});
    EXPECT_TRUE(run.contains(low_notice + lockout_menu(0) + "/\b-" + GetParam().reply)) << run.output;
    EXPECT_EQ(run.last_line(), GetParam().last_line) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Keys, LockoutKeys,
    testing::Values(KeyCase{"one", "1", "*** Skipping critical battery lock-out.\n", "SIM: exec /bin/kinit"},
                    KeyCase{"q", "q", "*** Skipping critical battery lock-out.\n", "SIM: exec /bin/kinit"},
                    KeyCase{"Q", "Q", "*** Skipping critical battery lock-out.\n", "SIM: exec /bin/kinit"},
                    KeyCase{"R", "R", "INFO:Rebooting ... \n", "SIM: reboot (kernel_boot_flag written \"0\\n\")"},
                    KeyCase{"r", "r", "INFO:Rebooting ... \n", "SIM: reboot (kernel_boot_flag written \"0\\n\")"},
                    KeyCase{"unknown", "2", "Unknown key '2'\n" + lockout_menu(0), "SIM: exec /bin/kinit"}),
    test::ParamName());

TEST(Lockout, ChargingBatteryEndsItAtTheFirstPercent) {
    test::TempDir dir;
    // 1 % at 15 s, 2 % at 25 s, 3 % at 35 s: the second re-read sees 1 %.
    const auto run = test::boot_with_script(dir, "5 battery 3 over 30\n", {"--battery", "0"});
    const std::string pass = lockout_menu(0) + test::spinner_wait(10);
    EXPECT_TRUE(run.contains(low_notice + pass + pass + "\n=== BATTERY HAS SUFFICIENT CHARGE (1%) ===\n"))
        << run.output;
}

TEST(Lockout, KeypadSkipWorksLikeTheConsole) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "3 key 1\n", {"--battery", "0"});
    EXPECT_TRUE(run.contains("*** Skipping critical battery lock-out.\n")) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

TEST(Lockout, GaugeFailingDuringTheLockoutEndsIt) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "5 gauge-error on\n", {"--battery", "0"});
    EXPECT_TRUE(run.contains(lockout_menu(0) + test::spinner_wait(10) +
                             "/dev/i2c/0:Input/output error\nCould not check battery charge.\n"))
        << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

struct BootCase {
    const char* name;
    std::vector<std::string> init;
    const char* script;
    const char* expected;
};

class BatteryCheck : public testing::TestWithParam<BootCase> {};

TEST_P(BatteryCheck, BootGoesOnWithoutTheMenu) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, GetParam().script, GetParam().init);
    EXPECT_TRUE(run.contains(GetParam().expected)) << run.output;
    EXPECT_FALSE(run.contains("Lock-out")) << run.output;
    EXPECT_FALSE(run.contains("Charge:")) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

INSTANTIATE_TEST_SUITE_P(
    Boots, BatteryCheck,
    testing::Values(BootCase{"one_percent", {"--battery", "1"}, "", ""},
                    BootCase{"bus_error", {"--battery", "0"}, "0 gauge-error on\n",
                             "/dev/i2c/0:Input/output error\nCould not check battery charge.\n"},
                    // A gauge that never answers counts as none, within two
                    // seconds, instead of holding the boot until the watchdog.
                    BootCase{"hung_gauge", {"--battery", "0"}, "0 fault hang:/dev/i2c/0\n",
                             "/dev/i2c/0: Interrupted system call\nCould not check battery charge.\n"},
                    BootCase{"implausible_charge", {}, "0 battery 150\n",
                             "/dev/i2c/0:gasgauge charge appears to be larger than 100%\n"
                             "Could not check battery charge.\n"},
                    BootCase{"development_board", {"--board", "K100", "--battery", "0"}, "0 gauge-error on\n",
                             "Skipping critical battery check because this is a development board.\n"}),
    test::ParamName());

}  // namespace

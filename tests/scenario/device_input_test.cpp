#include <gtest/gtest.h>

#include "support/param_name.h"
#include "support/people.h"

namespace {

TEST(KeypadAtBoot, OnlyTheListedEventDevicesOpen) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "", {"--input-events", "0,1"});
    EXPECT_TRUE(run.contains("INFO:/dev/input/event1:keypad device opened successfully (count=2)\n"
                             "ERROR:/dev/input/event2:No such file or directory(2)\n"
                             "ERROR:/dev/input/event3:No such file or directory(2)\n"))
        << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

TEST(KeypadAtBoot, KeyboardDeviceNeedsItsDriver) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    std::remove((dir / "dev/lib/modules/mxc_keyb.ko").c_str());
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_TRUE(run.contains("ERROR:Could not load keypad driver\n")) << run.output;
    EXPECT_TRUE(run.contains("ERROR:/dev/input/event0:No such file or directory(2)\n"
                             "INFO:/dev/input/event1:keypad device opened successfully (count=1)\n"))
        << run.output;
}

struct PromptCase {
    const char* name;
    const char* script;
    bool menu;
};

class KeysAtThePrompt : public testing::TestWithParam<PromptCase> {};

TEST_P(KeysAtThePrompt, OnlyAPressOfEnterOpensTheMenu) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, std::string(GetParam().script) + "12 console q\n");
    EXPECT_EQ(run.contains("Developer Menu"), GetParam().menu) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Events, KeysAtThePrompt,
    testing::Values(PromptCase{"keyboard_enter", "0.3 key ENTER\n", true},
                    PromptCase{"five_way_select_on_event1", "0.3 key event1 KPENTER\n", true},
                    PromptCase{"enter_by_code", "0.3 key event3 28 press\n", true},
                    PromptCase{"release_only", "0.3 key ENTER release\n", false},
                    PromptCase{"repeat_only", "0.3 key ENTER repeat\n", false},
                    PromptCase{"raw_press_record", "0.3 input event2 1 28 1\n", true},
                    PromptCase{"sync_record", "0.3 input 0 0 0\n", false},
                    PromptCase{"unmapped_key", "0.3 key F1\n", false}),
    test::ParamName());

TEST(KeypadAtBoot, KeyOnAMissingDeviceIsLost) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.3 key event3 ENTER\n", {"--input-events", "0,1"});
    EXPECT_FALSE(run.contains("Developer Menu")) << run.output;
}

struct BadLine {
    const char* name;
    const char* line;
    const char* message;
};

class ScriptVerbs : public testing::TestWithParam<BadLine> {};

TEST_P(ScriptVerbs, MalformedLinesAreRefused) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, GetParam().line);
    EXPECT_EQ(run.exit_code, 2) << run.output;
    EXPECT_TRUE(run.contains(GetParam().message)) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ScriptVerbs,
    testing::Values(BadLine{"unknown_key", "1 key NOPE\n", "line 1: unknown key 'NOPE'"},
                    BadLine{"unknown_action", "1 key A hold\n", "unknown key action 'hold'"},
                    BadLine{"short_input", "1 input 1 28\n", "input needs [eventN] TYPE CODE VALUE"},
                    BadLine{"usb_what", "1 usb phone on\n", "usb needs cable|host on|off"},
                    BadLine{"battery_range", "1 battery 300\n", "battery needs a charge"},
                    BadLine{"battery_ramp", "1 battery 30 in 5\n", "battery needs a charge"},
                    BadLine{"gauge_register", "1 gauge NOPE 1\n", "gauge needs REG VALUE"},
                    BadLine{"gauge_byte_range", "1 gauge CSOC 256\n", "gauge needs REG VALUE"},
                    BadLine{"unstable_word", "1 gauge-unstable TEMP\n", "gauge-unstable needs REG [COUNT]"},
                    BadLine{"error_count", "1 gauge-error many\n", "gauge-error needs COUNT, on or off"}),
    test::ParamName());

TEST(GaugeVerbs, WordAndByteRegistersReachTheChargeLine) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n0.5 gauge CSOC 42\n4 console /\n5 gauge 0x2c 7\n"
                                                 "6 console /\n7 console q\n");
    EXPECT_TRUE(run.contains("Charge: 42% [")) << run.output;
    EXPECT_TRUE(run.contains("Charge: 7% [")) << run.output;
}

TEST(PasswordTool, PrintsTheServicePassword) {
    const auto run = test::run_sim({"password", "B0A1C2D3E4F50001"});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.output, "qLm4re446\n");
    EXPECT_EQ(test::run_sim({"password", ""}).output, "qLm4r5561\n");
    // As the device reads it: 19 characters, nothing when one is not printable.
    EXPECT_EQ(test::run_sim({"password", "B0A1C2D3E4F50001XYZ-tail"}).output,
              test::run_sim({"password", "B0A1C2D3E4F50001XYZ"}).output);
    EXPECT_EQ(test::run_sim({"password", "B0A1\tC2"}).output, "qLm4r5561\n");
    EXPECT_EQ(test::run_sim({"password"}).exit_code, 2);
}

TEST(PasswordTool, OpensTheExportOfTheDeviceWithThatSerial) {
    std::string password = test::run_sim({"password", "SN-4242"}).output;
    ASSERT_EQ(password.size(), 10u);
    password.pop_back();
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n4 console 3\n5 console " + password +
                                                     "\n6 console 1\n7 console q\n",
                                            {"--serial", "SN-4242"});
    EXPECT_TRUE(run.contains("PASSWORD: INFO:storage_export(/dev/mmcblk0): exporting\n")) << run.output;
}

TEST(InitFlags, BadBatteryIsRefused) {
    test::TempDir dir;
    const auto run = test::run_sim({"init", dir / "dev", "--battery", "101"});
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_TRUE(run.contains("bad battery charge '101'")) << run.output;
}

}  // namespace

// Whole boots of a simulated device through the boot prompt, the MMC check
// and the ends of a run.
#include <gtest/gtest.h>

#include <cstdio>

#include "support/param_name.h"
#include "support/simrun.h"
#include "support/testdir.h"

namespace {

class BootScenario : public testing::Test {
protected:
    void SetUp() override { test::init_device(device()); }
    std::string device() const { return dir / "dev"; }
    test::SimResult boot(const std::vector<std::string>& extra = {}, const std::string& keys = "") {
        std::vector<std::string> args = {"boot", device()};
        args.insert(args.end(), extra.begin(), extra.end());
        return test::run_sim(args, keys);
    }
    std::string script(const std::string& text) {
        test::write_file(dir / "script", text);
        return dir / "script";
    }
    void remove_mmc() { ASSERT_EQ(std::remove((dir / "dev/mmc0.img").c_str()), 0); }

    test::TempDir dir;
};

TEST_F(BootScenario, QuietBootHandsOverToKinit) {
    const auto run = boot();
    EXPECT_EQ(run.exit_code, 0) << run.output;
    // The prompt keeps its line: the count 0 in three places, a blank and
    // the spinner, and the boot goes on without a line end (with the
    // partition check of the blank MMC).
    EXPECT_NE(run.find("Press [ENTER] for recovery menu...       0 //dev/mmcblk0p1: "), std::string::npos)
        << run.output;
    EXPECT_NE(run.find("INFO:Checking for updates... (auto-pilot mode)\n"), std::string::npos);
    EXPECT_NE(run.find("BOOTING DEFAULT.\n"), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << run.output;
}

TEST_F(BootScenario, EnterOpensTheDeveloperMenuWithoutCheckingTheMmc) {
    remove_mmc();
    const auto run = boot({}, "\nq\n");
    EXPECT_EQ(run.find("THERE WAS A PROBLEM BOOTING"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:Rebooting ... failing over to alternate kernel\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag untouched)");
}

TEST_F(BootScenario, SlashGoesToTheEraseCheckAndSkipsTheMmcCheck) {
    remove_mmc();
    const auto run = boot({"--script", script("0.3 console /\n1 console\n")});
    const size_t skipped = run.find("INFO:Erasecheck skipped, booting normally.\n");
    ASSERT_NE(skipped, std::string::npos) << run.output;
    EXPECT_NE(run.find("BOOTING DEFAULT.\n", skipped), std::string::npos);
    EXPECT_EQ(run.find("THERE WAS A PROBLEM BOOTING"), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

TEST_F(BootScenario, FailedHandOffFallsBackToTheRecoveryStartUpAndTriesAgain) {
    ASSERT_EQ(std::remove((dir / "dev/bin/kinit").c_str()), 0);
    // ENTER declines the erase check; the second hand-off fails too and the
    // erase check waits again until a signal restarts the device.
    const auto run = boot({"--script", script("5 console\n200 signal TERM\n")});
    const size_t failed = run.find("BOOTING DEFAULT.\n");
    ASSERT_NE(failed, std::string::npos) << run.output;
    const size_t perror = run.find("execl(): No such file or directory\n", failed);
    const size_t display = run.find("INFO:eink initialized", perror);
    const size_t check = run.find("Enter: ", display);
    const size_t skipped = run.find("INFO:Erasecheck skipped, booting normally.\n", check);
    const size_t again = run.find("execl(): No such file or directory\n", skipped);
    EXPECT_NE(perror, std::string::npos) << run.output;
    EXPECT_NE(display, std::string::npos) << run.output;
    EXPECT_NE(check, std::string::npos) << run.output;
    EXPECT_NE(skipped, std::string::npos) << run.output;
    EXPECT_NE(again, std::string::npos) << run.output;
    EXPECT_NE(run.find("*** Caught signal 15 -- rebooting! ***", again), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag untouched)");
}

TEST_F(BootScenario, UnreadableMmcShowsError200AndPowersOffUntilItHappens) {
    remove_mmc();
    const auto run = boot({"--fault", "reboot-fails:2"});
    EXPECT_NE(run.find("ERROR:/dev/mmcblk0:No such file or directory(2)\n"), std::string::npos) << run.output;
    const size_t problem = run.find("EMERGENCY:***** THERE WAS A PROBLEM BOOTING THE DEVICE (errcode=200) *****\n");
    ASSERT_NE(problem, std::string::npos) << run.output;
    size_t requests = 0;
    for (size_t at = run.find("EMERGENCY:Powering off ...\n"); at != std::string::npos;
         at = run.find("EMERGENCY:Powering off ...\n", at + 1))
        ++requests;
    EXPECT_EQ(requests, 3u);
    EXPECT_EQ(run.find("BOOTING DEFAULT."), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: power-off");
}

TEST_F(BootScenario, MmcReadErrorIsABootFailureToo) {
    const auto run = boot({"--fault", "eio-read:/dev/mmcblk0"});
    EXPECT_NE(run.find("ERROR:/dev/mmcblk0:Input/output error(5)\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("(errcode=200)"), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: power-off");
}

TEST_F(BootScenario, ShortReadOfTheMmcIsReportedAsSuch) {
    const auto run = boot({"--fault", "short-read:/dev/mmcblk0:100"});
    // A short read sets no error number: no stale "No such file or
    // directory" for a device that is there.
    EXPECT_NE(run.find("ERROR:/dev/mmcblk0:short read, 100 of 512 bytes\n"), std::string::npos) << run.output;
    EXPECT_EQ(run.find("ERROR:/dev/mmcblk0:No such file"), std::string::npos) << run.output;
    EXPECT_NE(run.find("(errcode=200)"), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: power-off");
}

TEST_F(BootScenario, HangingStepTimesOutAndRestartsWithoutTouchingTheFlag) {
    const auto run = boot({"--fault", "hang:/dev/mmcblk0"});
    const size_t notice = run.find("\a\n*** Unexpected Timeout during routine -- rebooting! ***\n\n");
    ASSERT_NE(notice, std::string::npos) << run.output;
    EXPECT_NE(run.find("=== kernel printk buffer", notice), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag untouched)");
    EXPECT_EQ(test::read_file(dir / "dev/proc/bootglobals/kernel_boot_flag"), "0\n");
}

TEST_F(BootScenario, FatalSignalRestartsTheDevice) {
    const auto run = boot({"--script", script("0.5 signal TERM\n")});
    const size_t notice = run.find("\a\n*** Caught signal 15 -- rebooting! ***\n\n");
    ASSERT_NE(notice, std::string::npos) << run.output;
    EXPECT_EQ(run.find("BOOTING DEFAULT."), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag untouched)");
}

// The key reader gives up a wait on a failed select and on an end of
// input on the console (^D); the waiting step then goes on as after a
// time-out.
struct KeyFailureCase {
    const char* name;
    std::vector<std::string> extra;
    std::string script;
    const char* report;
    const char* then;  // what follows, as after a time-out
};

class KeyReaderFailure : public BootScenario, public testing::WithParamInterface<KeyFailureCase> {};

TEST_P(KeyReaderFailure, EndsTheWaitLikeATimeOut) {
    const KeyFailureCase& c = GetParam();
    std::vector<std::string> extra = c.extra;
    if (!c.script.empty()) extra.insert(extra.end(), {"--script", script(c.script)});
    const auto run = boot(extra);
    const size_t report = run.find(c.report);
    ASSERT_NE(report, std::string::npos) << run.output;
    EXPECT_NE(run.find(c.then, report), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, KeyReaderFailure,
    testing::Values(KeyFailureCase{"select_fails_at_the_boot_prompt", {"--fault", "select-fails:1"}, "",
                                   "  0 /ERROR:select():Cannot allocate memory(12)\n",
                                   "INFO:Checking for updates... (auto-pilot mode)\n"},
                    KeyFailureCase{"select_fails_in_the_developer_menu", {},
                                   "0.2 console\n4 fault select-fails:1\n",
                                   "ERROR:select():Cannot allocate memory(12)\n",
                                   "\nMenu timeout\nBOOTING DEFAULT.\n"},
                    KeyFailureCase{"end_of_input_in_the_developer_menu", {}, "0.2 console\n5 console-eof\n",
                                   "ERROR:stdin:Success(0)\n", "\nMenu timeout\nBOOTING DEFAULT.\n"}),
    test::ParamName());

TEST_F(BootScenario, SimulatorRefusesBadInput) {
    EXPECT_EQ(test::run_sim({"boot", dir / "nothing"}).exit_code, 2);
    EXPECT_EQ(boot({"--fault", "melt:/dev/mmcblk0"}).exit_code, 2);
    EXPECT_EQ(boot({"--script", script("soon console x\n")}).exit_code, 2);
    EXPECT_EQ(test::run_sim({"init", device()}).exit_code, 2);  // already a device
    // A directory is no script, and a medium cannot be swapped for a file
    // that is not there: one line each, status 2.
    const auto folder = boot({"--script", dir.path()});
    EXPECT_EQ(folder.exit_code, 2);
    EXPECT_EQ(folder.output, "quillmar-sim: cannot read script " + dir.path() + ": not a regular file\n");
    const auto swap = boot({"--fault", "swap:/mnt-us/update.bin:" + (dir / "missing.bin")});
    EXPECT_EQ(swap.exit_code, 2);
    EXPECT_EQ(swap.output, "quillmar-sim: 'swap:/mnt-us/update.bin:" + (dir / "missing.bin") +
                               "': the host file " + (dir / "missing.bin") + " cannot be read\n");
}

}  // namespace

namespace {

// Waits whose console is gone for good (/dev/null, a line that hung up,
// reads that fail) or whose keypad holds a key down: every wait still takes
// its time on the virtual clock and ends as designed, the keypad still
// answers, and nothing spins.
struct DeadConsoleCase {
    const char* name;
    bool failing_bundle;
    std::string script;
    const char* expected;
    const char* last_line;
};

std::string held_key_script() {
    std::string text = "0.2 console\n3 key event1 UP press\n";
    for (int tenth = 35; tenth < 1000; tenth += 5) text += std::to_string(tenth / 10.0) + " key event1 UP repeat\n";
    return text + "100 console q\n";
}

// A console chunk as long as the key reader's buffer with no line end after
// it (a line cut by ^D, or a pipe that ends): the rest of the line is not
// waited for, and the prompt ends as after any other key.
TEST_F(BootScenario, FullChunkWithoutALineEndIsNotWaitedOn) {
    const auto run = boot({}, std::string(63, 'x'));
    EXPECT_EQ(run.find("Unexpected Timeout"), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

class DeadConsole : public BootScenario, public testing::WithParamInterface<DeadConsoleCase> {};

TEST_P(DeadConsole, WaitsTakeTheirTimeAndEndAsDesigned) {
    const DeadConsoleCase& c = GetParam();
    ASSERT_EQ(boot().last_line(), "SIM: exec /bin/kinit");
    if (c.failing_bundle) test::write_file(dir / "dev/userstore/update.bin", std::string(5000, 'x'));
    const auto run = boot({"--script", script(c.script)});
    EXPECT_EQ(run.exit_code, 0) << run.output.substr(run.output.size() > 3000 ? run.output.size() - 3000 : 0);
    EXPECT_EQ(run.find("SIM: stuck"), std::string::npos);
    EXPECT_NE(run.find(c.expected), std::string::npos) << run.output.substr(0, 3000);
    EXPECT_EQ(run.last_line(), c.last_line);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, DeadConsole,
    testing::Values(
        // The R comes from the keypad a minute after the console went.
        DeadConsoleCase{"press_r_on_a_console_at_end_of_file", true, "1 console-hangup\n70 key r\n",
                        "INFO:Update failed *** Press R to continue...\n", "SIM: reboot (kernel_boot_flag untouched)"},
        DeadConsoleCase{"press_r_on_a_console_that_fails", true, "1 console-hangup EIO\n70 key r\n",
                        "INFO:Update failed *** Press R to continue...\n", "SIM: reboot (kernel_boot_flag untouched)"},
        // No key can come through a select that always fails: the wait goes
        // on, ten seconds a pass, until the signal at 100 s ends the run.
        DeadConsoleCase{"press_r_while_select_fails", true, "2 fault select-fails:1000000\n100 signal TERM\n",
                        "\a\n*** Caught signal 15 -- rebooting! ***\n\n", "SIM: reboot (kernel_boot_flag untouched)"},
        // The gauge is read again every ten seconds until the charge comes.
        DeadConsoleCase{"lockout_on_a_console_at_end_of_file", false,
                        "0 battery 0\n0.5 console-hangup\n0.6 battery 3 over 120\n",
                        "\n=== BATTERY HAS SUFFICIENT CHARGE (1%) ===\n", "SIM: exec /bin/kinit"},
        DeadConsoleCase{"lockout_while_select_fails", false,
                        "0 battery 0\n1.5 fault select-fails:1000000\n1.6 battery 3 over 120\n",
                        "\n=== BATTERY HAS SUFFICIENT CHARGE (1%) ===\n", "SIM: exec /bin/kinit"},
        // A key held down repeats for as long as it is held: the menu
        // still hands over after its ten seconds.
        DeadConsoleCase{"developer_menu_with_a_key_held_down", false, held_key_script(), "\nMenu timeout\n",
                        "SIM: exec /bin/kinit"}),
    test::ParamName());

}  // namespace

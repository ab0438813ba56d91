#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>

#include "support/image_bytes.h"
#include "support/param_name.h"
#include "support/people.h"

namespace {

const std::string notice =
    "*** Press ENTER or Select to continue booting normally ***\n"
    "enter \"RESET\" to erase the device and enter quillmar.\n";
const std::string prompt = "Enter: /\n";
const std::string wrong = "WARNING:Code not recognized, try again!\n";

// Runs the erase check from the developer menu: each step is one script
// verb line ("console R", "key BACKSPACE") a second after the previous;
// then "q" quits the menu.
test::SimResult run_check(const std::vector<std::string>& steps) {
    // The menu comes up once the display has started, about 3 s in.
    std::string script = "0.2 console\n4 console J\n";
    for (const auto& step : steps) script += "+1 " + step + "\n";
    script += "+1 console q\n";
    test::TempDir dir;
    return test::boot_with_script(dir, script);
}

// The transcript of the check from its first notice to its result line.
std::string check_transcript(const test::SimResult& run) {
    const size_t start = run.find(notice);
    const size_t end = run.find("INFO:Erase check returned");
    if (start == std::string::npos || end == std::string::npos) return "(no erase check in)\n" + run.output;
    return run.output.substr(start, end - start);
}

struct SequenceCase {
    const char* name;
    std::vector<std::string> steps;
    std::string transcript;
};

class EraseCheck : public testing::TestWithParam<SequenceCase> {};

TEST_P(EraseCheck, Transcript) {
    const auto run = run_check(GetParam().steps);
    EXPECT_EQ(check_transcript(run), GetParam().transcript);
}

std::string typed(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += prompt;
    return text;
}

const std::string aborted = "INFO:Factory reset aborted, booting normally.\n";
const std::string matched = "INFO:Code matched.\n";

INSTANTIATE_TEST_SUITE_P(
    Sequences, EraseCheck,
    testing::Values(
        SequenceCase{"capitals",
                     {"console R", "console E", "console S", "console E", "console T"},
                     notice + typed(5) + matched},
        SequenceCase{"mixed_case_from_the_keypad",
                     {"key R", "console e", "key S", "console e", "key T"},
                     notice + typed(5) + matched},
        SequenceCase{"rest_fails_at_the_fourth_key",
                     {"console R", "console E", "console S", "console T", "console \\r"},
                     notice + typed(4) + wrong + notice + prompt + aborted},
        SequenceCase{"digit_is_compared_like_a_letter",
                     {"console r", "console e", "console 5", "key ENTER"},
                     notice + typed(3) + wrong + notice + prompt + aborted},
        SequenceCase{"other_characters_are_ignored",
                     {"console r", "console e", "console -", "console s", "console e", "console t"},
                     notice + typed(3) + "WARNING:Ignoring non-alphanumeric input. (ch=45)\n" + typed(3) + matched},
        SequenceCase{"backspace_starts_over",
                     {"console r", "console e", "console s", "key BACKSPACE", "console e", "console \\r"},
                     notice + typed(4) + "INFO:DEL key - start over.\n" + notice + prompt + wrong + notice + prompt +
                         aborted},
        SequenceCase{"keypad_enter_aborts", {"console r", "key KPENTER"}, notice + typed(2) + aborted},
        SequenceCase{"blank_aborts", {"console  "}, notice + prompt + aborted},
        SequenceCase{"dollar_aborts", {"key HENKAN"}, notice + prompt + aborted},
        SequenceCase{"empty_line_aborts", {"console"}, notice + prompt + aborted}),
    test::ParamName());

std::vector<std::string> hidden_sequence() {
    return {"key DOWN", "key UP", "key LEFT", "key LEFT", "key RIGHT",
            "key DOWN", "key UP", "key RIGHT", "key X",   "key K"};
}

std::string hidden_sequence_transcript(int mode_after) {
    std::string text;
    for (const unsigned c : {19u, 23u, 1u, 1u, 4u, 19u, 23u, 4u})
        text += prompt + "WARNING:Ignoring non-alphanumeric input. (ch=" + std::to_string(c) + ")\n";
    // x is a wrong letter before the sequence completes, k completes it
    // and is a wrong letter too.
    text += prompt + wrong + (mode_after == 1 ? notice : "");
    text += prompt + "WARNING:Skip " + std::to_string(mode_after) + "\n" + wrong + (mode_after == 1 ? "" : notice);
    return text;
}

TEST(EraseCheckPattern, HiddenSequenceTogglesTheTestCard) {
    std::vector<std::string> steps = hidden_sequence();
    steps.push_back("console w");
    const auto twice = hidden_sequence();
    steps.insert(steps.end(), twice.begin(), twice.end());
    steps.push_back("console w");
    steps.push_back("console \\r");
    const auto run = run_check(steps);
    // With the test card on, a wrong letter does not print the notice.
    EXPECT_EQ(check_transcript(run), notice + hidden_sequence_transcript(1) + prompt + wrong +
                                         hidden_sequence_transcript(0) + prompt + wrong + notice + prompt + aborted);
}

TEST(EraseCheckAtBoot, SlashAtThePromptAndEnterBootsNormally) {
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console /\n3 key ENTER\n");
    EXPECT_TRUE(run.contains(notice + prompt + aborted + "INFO:Erasecheck skipped, booting normally.\n"))
        << run.output;
    // The MMC is not test-read first, and the normal hand-off follows.
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
}

// A console that hangs up during the check, on a reader without keypads,
// can bring no key any more: the check gives up as if declined, erases
// nothing, and the boot goes on.
TEST(EraseCheckAtBoot, NoInputLeftDeclinesTheCheck) {
    for (const char* hangup : {"console-hangup", "console-hangup EIO"}) {
        test::TempDir dir;
        const auto run =
            test::boot_with_script(dir, std::string("0.2 console /\n3 ") + hangup + "\n", {"--input-events", ""});
        EXPECT_EQ(run.find("SIM: stuck"), std::string::npos) << hangup << "\n" << run.output;
        EXPECT_TRUE(run.contains(aborted + "INFO:Erasecheck skipped, booting normally.\n")) << hangup;
        EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << hangup;
    }
}

// Nobody types the word: a console that stays silent, sends one end of
// input or hangs up, on a reader with keypads nobody touches. The check
// declines after its ten minutes, the MMC keeps every byte and the boot goes
// on; before, each of these waited for ever.
struct NoWordCase {
    const char* name;
    const char* after_slash;  // script lines after "/" at the prompt
};

void PrintTo(const NoWordCase& c, std::ostream* os) { *os << c.name; }

class NoWord : public testing::TestWithParam<NoWordCase> {};

TEST_P(NoWord, CheckDeclinesWithinItsBoundAndErasesNothing) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    test::write_file(dir / "dev/userstore/book.txt", "mine");
    const std::string mmc = dir / "dev/mmc0.img";
    const size_t before = test::image_digest(mmc);
    // Past the bound the script stops the program: a check still waiting
    // then ends in the restart, not in the hand-off.
    test::write_file(dir / "script", std::string("0.2 console /\n") + GetParam().after_slash + "900 signal TERM\n");
    const auto run = test::run_sim({"boot", dir / "dev", "--script", dir / "script"});
    EXPECT_EQ(run.find("SIM: stuck"), std::string::npos) << run.output;
    EXPECT_TRUE(run.contains("INFO:No reset typed within 600 seconds\n" + aborted +
                             "INFO:Erasecheck skipped, booting normally.\n"))
        << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit");
    EXPECT_EQ(test::image_digest(mmc), before);
    EXPECT_EQ(test::read_file(dir / "dev/userstore/book.txt"), "mine");
}

INSTANTIATE_TEST_SUITE_P(Consoles, NoWord,
                         testing::Values(NoWordCase {"silence", ""}, NoWordCase {"end_of_input", "3 console-eof\n"},
                                         NoWordCase {"hang_up", "3 console-hangup\n"},
                                         NoWordCase {"hang_up_failing", "3 console-hangup EIO\n"}),
                         test::ParamName());

// A hand-off that fails leads to the erase check at every turn; with nobody
// at a reader that has keypads, each check declines at its bound and the
// update check and the hand-off are tried again, erasing nothing.
TEST(EraseCheckAfterAFailedHandOff, DeclinesAtItsBoundEveryTime) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(test::run_sim({"boot", dir / "dev"}).last_line(), "SIM: exec /bin/kinit");
    std::filesystem::remove(dir / "dev/bin/kinit");
    const std::string mmc = dir / "dev/mmc0.img";
    const size_t before = test::image_digest(mmc);
    test::write_file(dir / "script", "1500 signal TERM\n");
    const auto run = test::run_sim({"boot", dir / "dev", "--script", dir / "script"});
    EXPECT_EQ(run.find("SIM: stuck"), std::string::npos) << run.output;
    const std::string declined = aborted + "INFO:Erasecheck skipped, booting normally.\n";
    const size_t first = run.find(declined);
    ASSERT_NE(first, std::string::npos) << run.output;
    EXPECT_NE(run.find("execl(): No such file or directory\n", first), std::string::npos) << "tried again";
    EXPECT_NE(run.find(declined, first + 1), std::string::npos) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag untouched)");
    EXPECT_EQ(test::image_digest(mmc), before);
}

}  // namespace

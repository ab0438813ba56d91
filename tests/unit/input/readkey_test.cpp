#include "input/readkey.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include <gtest/gtest.h>

#include "boot/process_state.h"
#include <linux/input.h>

#include "input/keypad.h"
#include "platform/boardid.h"
#include "sim/dev/input.h"
#include "sim/dev/usb.h"
#include "storage/gadget.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

class ReadKey : public testing::Test {
protected:
    ReadKey() {
        kernel().mount("proc", "/proc", "proc", 0, "");
        kernel().mount("sysfs", "/sys", "sysfs", 0, "");
        (void)qm::boardid_init();
        (void)qm::keypad_init();
        device_.take_console();
    }
    ~ReadKey() override {
        (void)qm::keypad_shutdown();
        qm::process_state_reset();
    }
    sim::Kernel& kernel() { return device_.kernel(); }
    sim::Micros now() { return kernel().clock().now(); }
    // A console line typed at virtual time t (seconds).
    void type_at(double t, const std::string& line) {
        kernel().clock().at(static_cast<sim::Micros>(t * sim::one_second),
                            [this, line] { return kernel().console().type_line(line), false; });
    }
    void key_at(double t, unsigned unit, uint16_t type, uint16_t code, int32_t value) {
        kernel().clock().at(static_cast<sim::Micros>(t * sim::one_second), [=, this] {
            kernel().state<sim::InputDevices>().emit(unit, type, code, value);
            return false;
        });
    }

    test::SimDevice device_;
};

TEST_F(ReadKey, CountdownAndSpinnerRedrawOncePerSecond) {
    char key = 'z';
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 1), 0);
    const std::string expected =
        " 10 /\b\b\b\b\b  9 -\b\b\b\b\b  8 \\\b\b\b\b\b  7 |\b\b\b\b\b  6 /\b\b\b\b\b  5 -"
        "\b\b\b\b\b  4 \\\b\b\b\b\b  3 |\b\b\b\b\b  2 /\b\b\b\b\b  1 -";
    EXPECT_EQ(device_.take_console(), expected);
    EXPECT_GE(now(), 10 * sim::one_second);
    EXPECT_LT(now(), 11 * sim::one_second + 1000);
    EXPECT_EQ(key, 'z');
}

TEST_F(ReadKey, ZeroSecondsIsOneEmptyWait) {
    EXPECT_EQ(qm::read_key(nullptr, 0, nullptr, 0, 1), 0);
    EXPECT_EQ(device_.take_console(), "  0 /");
    EXPECT_LT(now(), 2 * sim::one_second);
}

TEST_F(ReadKey, WithoutCountdownOnlyTheSpinnerTurns) {
    EXPECT_EQ(qm::read_key(nullptr, 2, nullptr, 0, 0), 0);
    EXPECT_EQ(device_.take_console(), "/\b-");
}

// The erase check's wait: a limit, and the console as a wait without one
// shows it.
TEST_F(ReadKey, StillWaitEndsByItsTimeOutWithoutTurningTheSpinner) {
    EXPECT_EQ(qm::read_key_still(nullptr, 5), 0);
    EXPECT_EQ(device_.take_console(), "/");
    EXPECT_GE(now(), 5 * sim::one_second);
    EXPECT_LT(now(), 6 * sim::one_second);
    type_at(7.5, "r");
    char key = 0;
    EXPECT_EQ(qm::read_key_still(&key, 5), 1);
    EXPECT_EQ(key, 'r');
}

TEST_F(ReadKey, FirstCharacterOfALineIsTheKeyAndTheRestIsDropped) {
    type_at(0.5, "xyz");
    type_at(0.6, std::string(100, 'a') + "b");
    type_at(0.7, "q");
    char key = 0;
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 0), 1);
    EXPECT_EQ(key, 'x');
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 0), 1);
    EXPECT_EQ(key, 'a');
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 0), 1);
    EXPECT_EQ(key, 'q');
}

TEST_F(ReadKey, BackspaceRestartsTheTimeOut) {
    type_at(2.5, "ab\bc");
    EXPECT_EQ(qm::read_key(nullptr, 3, nullptr, 0, 0), 0);
    // The spinner goes on where it was; the first display is not repeated.
    EXPECT_EQ(device_.take_console(), "/\b-\b\\I saw a backspace character, restarting menu.\n\b|\b/");
    EXPECT_GE(now(), 5500000);
}

struct NoiseCase {
    const char* name;
    std::string line;  // typed at 0.5 s; "q" follows at 1.5 s
    char key;
};

class ConsoleNoise : public ReadKey, public testing::WithParamInterface<NoiseCase> {};

// A serial break or line noise reads as NUL bytes, which must never pass
// for a key (key 0 is what read_key gives when a USB state is reached).
TEST_P(ConsoleNoise, NulBytesAreNoKey) {
    const NoiseCase& c = GetParam();
    type_at(0.5, c.line);
    type_at(1.5, "q");
    char key = 'z';
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 0), 1);
    EXPECT_EQ(key, c.key);
    EXPECT_EQ(device_.take_console().find("ERROR"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Lines, ConsoleNoise,
                         testing::Values(NoiseCase{"nul_alone", std::string(1, '\0'), 'q'},
                                         NoiseCase{"nuls_and_carriage_return", std::string("\0\0\r", 3), 'q'},
                                         NoiseCase{"nul_before_a_letter", std::string("\0a", 2), 'a'},
                                         NoiseCase{"enter_alone_is_still_a_key", "", '\n'}),
                         test::ParamName());

TEST_F(ReadKey, KeypadPressIsAKey) {
    key_at(1.5, 0, EV_KEY, KEY_R, 1);
    char key = 0;
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 1), 1);
    EXPECT_EQ(key, 'r');
}

TEST_F(ReadKey, EventsWithoutAKeyDoNotEndTheWait) {
    key_at(0.5, 0, EV_KEY, KEY_R, 0);
    key_at(0.5, 1, EV_SYN, SYN_REPORT, 0);
    key_at(1.5, 2, EV_KEY, KEY_T, 2);
    key_at(2.5, 3, EV_KEY, KEY_T, 1);
    char key = 0;
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 0), 1);
    EXPECT_EQ(key, 't');
    EXPECT_EQ(device_.take_console().find("ERROR"), std::string::npos);
}

TEST_F(ReadKey, ConsoleLineWithAKeyRelease) {
    key_at(0.5, 0, EV_KEY, KEY_R, 0);
    type_at(0.5, "m");
    char key = 0;
    EXPECT_EQ(qm::read_key(&key, 10, nullptr, 0, 0), 1);
    EXPECT_EQ(key, 'm');
}

TEST_F(ReadKey, UsbStateAlreadyReachedEndsAtOnce) {
    int state = -1;
    char key = 'x';
    EXPECT_EQ(qm::read_key(&key, 30, &state, 0, 0), 1);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(state, 0);
    EXPECT_EQ(now(), 0);
}

TEST_F(ReadKey, NoLimitKeepsTheFirstSpinnerCharacter) {
    type_at(500, "k");
    char key = 0;
    EXPECT_EQ(qm::read_key(&key, -1, nullptr, 0, 0), 1);
    EXPECT_EQ(key, 'k');
    EXPECT_EQ(device_.take_console(), "/");
}

TEST_F(ReadKey, WaitASecSpinsTenTimesASecond) {
    qm::wait_a_sec(1);
    std::string expected = "Please wait ... ";
    const char spinner[] = "/-\\|";
    for (int i = 0; i < 10; ++i) expected += std::string(1, spinner[i % 4]) + "\b";
    expected += " \n";
    EXPECT_EQ(device_.take_console(), expected);
    EXPECT_EQ(now(), sim::one_second);
    EXPECT_FALSE(kernel().clock().alarm_deadline().has_value());
}

}  // namespace

namespace {

// Waits whose inputs go away under them: a keypad whose driver is unloaded
// (its descriptor is ready for ever and every read fails) or a console that
// hung up on a reader without keypads. The wait still takes its time and
// ends; a spin or a select on nothing without a limit stops the simulated
// device, so each case runs in a child of its own.
TEST_F(ReadKey, AKeypadThatIsGoneIsLeftOutAndTheOthersStillAnswer) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            kernel().clock().at(sim::one_second, [this] { return kernel().delete_module("mxc_keyb", 0), false; });
            key_at(5.5, 1, EV_KEY, KEY_R, 1);
            char key = 0;
            const int got = qm::read_key(&key, 10, nullptr, 0, 0);
            const bool as_designed = got == 1 && key == 'r' && now() >= 5 * sim::one_second;
            // Without any key the wait still ends at its time-out.
            const sim::Micros before = now();
            const int none = qm::read_key(&key, 3, nullptr, 0, 0);
            std::_Exit(as_designed && none == 0 && now() - before >= 3 * sim::one_second ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(ReadKey, NothingLeftToWatchEndsTheWait) {
    GTEST_FLAG_SET(death_test_style, "fast");
    for (const int error : {0, EIO}) {
        for (const int seconds : {-1, 5}) {
            EXPECT_EXIT(
                {
                    (void)qm::keypad_shutdown();
                    kernel().console().hang_up(error);
                    char key = 'x';
                    const int got = qm::read_key(&key, seconds, nullptr, 0, 0);
                    const bool took_its_time = now() >= std::max(1, seconds) * sim::one_second;
                    std::_Exit(got == 0 && key == 'x' && took_its_time ? 0 : 1);
                },
                testing::ExitedWithCode(0), "")
                << "error " << error << ", " << seconds << " s";
        }
    }
}

}  // namespace

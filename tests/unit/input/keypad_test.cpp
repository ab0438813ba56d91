#include "input/keypad.h"

#include <gtest/gtest.h>

#include "boot/process_state.h"
#include <linux/input.h>

#include "platform/boardid.h"
#include "sim/dev/input.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

struct KeyCase {
    const char* name;
    unsigned code;
    int expected;
};

class KeyTable : public testing::TestWithParam<KeyCase> {};

TEST_P(KeyTable, CodeYieldsCharacter) { EXPECT_EQ(qm::keypad_char(GetParam().code), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Keys, KeyTable,
    testing::Values(KeyCase{"digit_one", KEY_1, '1'}, KeyCase{"digit_zero", KEY_0, '0'},
                    KeyCase{"backspace", KEY_BACKSPACE, 8}, KeyCase{"q", KEY_Q, 'q'}, KeyCase{"p", KEY_P, 'p'},
                    KeyCase{"enter", KEY_ENTER, 13}, KeyCase{"keypad_enter", KEY_KPENTER, 13},
                    KeyCase{"l", KEY_L, 'l'}, KeyCase{"z", KEY_Z, 'z'}, KeyCase{"m", KEY_M, 'm'},
                    KeyCase{"left_shift", KEY_LEFTSHIFT, '%'}, KeyCase{"right_shift", KEY_RIGHTSHIFT, '%'},
                    KeyCase{"left_alt", KEY_LEFTALT, '^'}, KeyCase{"space", KEY_SPACE, ' '},
                    KeyCase{"f2", KEY_F2, '*'}, KeyCase{"katakana", KEY_KATAKANA, '@'},
                    KeyCase{"hiragana", KEY_HIRAGANA, '\\'}, KeyCase{"henkan", KEY_HENKAN, '$'},
                    KeyCase{"kpjpcomma", KEY_KPJPCOMMA, '&'}, KeyCase{"kpslash", KEY_KPSLASH, '/'},
                    KeyCase{"up", KEY_UP, 23}, KeyCase{"down", KEY_DOWN, 19}, KeyCase{"left", KEY_LEFT, 1},
                    KeyCase{"right", KEY_RIGHT, 4}, KeyCase{"page_up", KEY_PAGEUP, ']'},
                    KeyCase{"page_down", KEY_PAGEDOWN, '['}, KeyCase{"hangeul", KEY_HANGEUL, 23},
                    KeyCase{"hanja", KEY_HANJA, 19}, KeyCase{"yen", KEY_YEN, ']'},
                    KeyCase{"compose", KEY_COMPOSE, '#'}, KeyCase{"escape_unmapped", KEY_ESC, 0},
                    KeyCase{"code_zero", 0, 0}, KeyCase{"f1_unmapped", KEY_F1, 0},
                    KeyCase{"capslock_unmapped", KEY_CAPSLOCK, 0}, KeyCase{"above_127", 128, 0},
                    KeyCase{"power_unmapped", KEY_POWER, 0}),
    test::ParamName());

// A device at the point where the boot sequence opens the keypad.
class Keypad : public testing::Test {
protected:
    explicit Keypad(const sim::InitOptions& options = {}) : device_(options) {
        device_.kernel().mount("proc", "/proc", "proc", 0, "");
        device_.kernel().mount("sysfs", "/sys", "sysfs", 0, "");
        (void)qm::boardid_init();
    }
    ~Keypad() override {
        (void)qm::keypad_shutdown();
        qm::process_state_reset();
    }
    void emit(unsigned unit, uint16_t type, uint16_t code, int32_t value) {
        device_.kernel().state<sim::InputDevices>().emit(unit, type, code, value);
    }
    void press(unsigned unit, uint16_t code) { emit(unit, EV_KEY, code, 1); }

    test::SimDevice device_;
};

TEST_F(Keypad, AllFourDevicesOpen) {
    EXPECT_EQ(qm::keypad_init(), 1);
    const std::string console = device_.take_console();
    EXPECT_NE(console.find("INFO:Using default keypad setting. (not passing \"kb_rev\" to module)\n"),
              std::string::npos);
    EXPECT_NE(console.find("INFO:/dev/input/event3:keypad device opened successfully (count=4)\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("ERROR"), std::string::npos) << console;
    EXPECT_EQ(console.find("WARNING"), std::string::npos) << console;
}

TEST_F(Keypad, ReleaseRepeatSyncAndUnmappedKeysYieldNothing) {
    (void)qm::keypad_init();
    const struct {
        uint16_t type, code;
        int32_t value;
    } silent[] = {{EV_KEY, KEY_A, 0}, {EV_KEY, KEY_A, 2}, {EV_SYN, SYN_REPORT, 0}, {EV_KEY, KEY_ESC, 1},
                  {EV_MSC, MSC_SCAN, 30}, {EV_KEY, KEY_CAPSLOCK, 1}};
    for (const auto& e : silent) {
        emit(0, e.type, e.code, e.value);
        EXPECT_EQ(qm::keypad_getch(), 0) << e.type << " " << e.code << " " << e.value;
    }
    press(0, KEY_A);
    EXPECT_EQ(qm::keypad_getch(), 'a');
}

TEST_F(Keypad, ShiftIsItsOwnKeyAndLettersStayLowerCase) {
    (void)qm::keypad_init();
    press(0, KEY_LEFTSHIFT);
    press(0, KEY_A);
    EXPECT_EQ(qm::keypad_getch(), '%');
    EXPECT_EQ(qm::keypad_getch(), 'a');
}

TEST_F(Keypad, LowerSlotWinsAndTheOtherEventStaysQueued) {
    (void)qm::keypad_init();
    press(2, KEY_B);
    press(1, KEY_UP);
    EXPECT_EQ(qm::keypad_getch(), 23);
    EXPECT_EQ(qm::keypad_getch(), 'b');
}

TEST_F(Keypad, NonKeyOnLowerSlotStillReadsTheNextReadyDevice) {
    (void)qm::keypad_init();
    emit(0, EV_SYN, SYN_REPORT, 0);
    press(3, KEY_ENTER);
    EXPECT_EQ(qm::keypad_getch(), 13);
}

TEST_F(Keypad, ReadsTheNativeRecordWhole) {
    // The platform's own record: 16 bytes on a 32-bit kernel, 24 on a
    // 64-bit one. A fixed 16-byte read cuts a 64-bit record in half.
    EXPECT_EQ(sizeof(input_event), sizeof(long) == 8 ? 24u : 16u);
    (void)qm::keypad_init();
    press(0, KEY_M);
    press(0, KEY_N);
    EXPECT_EQ(qm::keypad_getch(), 'm');
    EXPECT_EQ(qm::keypad_getch(), 'n');
}

TEST_F(Keypad, ShutdownClosesAllAndUnloadsOnlyTheKeyboardDriver) {
    (void)qm::keypad_init();
    EXPECT_EQ(qm::keypad_shutdown(), 0);
    EXPECT_FALSE(device_.kernel().modules().loaded("mxc_keyb"));
    EXPECT_TRUE(device_.kernel().modules().loaded("fiveway"));
    fd_set set;
    FD_ZERO(&set);
    int highest = -1;
    qm::keypad_set(&set, &highest);
    EXPECT_EQ(highest, -1);
}

class TwoKeypads : public Keypad {
protected:
    static sim::InitOptions options() {
        sim::InitOptions o;
        o.input_events = "0,1";
        return o;
    }
    TwoKeypads() : Keypad(options()) {}
};

TEST_F(TwoKeypads, MissingDevicesAreReportedAndSkipped) {
    EXPECT_EQ(qm::keypad_init(), 0);
    const std::string console = device_.take_console();
    EXPECT_NE(console.find("INFO:/dev/input/event1:keypad device opened successfully (count=2)\n"),
              std::string::npos);
    EXPECT_NE(console.find("ERROR:/dev/input/event2:No such file or directory(2)\n"), std::string::npos) << console;
    EXPECT_NE(console.find("ERROR:/dev/input/event3:No such file or directory(2)\n"), std::string::npos);
    fd_set set;
    FD_ZERO(&set);
    int highest = 0;
    qm::keypad_set(&set, &highest);
    int members = 0;
    for (int fd = 0; fd <= highest; ++fd) members += FD_ISSET(fd, &set) ? 1 : 0;
    EXPECT_EQ(members, 2);
    EXPECT_EQ(qm::keypad_isset(&set), 1);
}

struct BoardCase {
    const char* name;
    const char* board;
    const char* keyboard_args;
    const char* fiveway_args;
    const char* message;
};

class KeypadBoards : public testing::TestWithParam<BoardCase> {};

TEST_P(KeypadBoards, DriversGetTheBoardParameters) {
    const BoardCase& c = GetParam();
    sim::InitOptions options;
    options.board_id = c.board;
    test::SimDevice device(options);
    device.kernel().mount("proc", "/proc", "proc", 0, "");
    (void)qm::boardid_init();
    (void)qm::keypad_init();
    const auto& modules = device.kernel().modules().all();
    EXPECT_EQ(modules.at("mxc_keyb"), c.keyboard_args);
    EXPECT_EQ(modules.at("fiveway"), c.fiveway_args);
    if (*c.message != '\0')
        EXPECT_NE(device.console().find(c.message), std::string::npos) << device.console();
    else
        EXPECT_EQ(device.console().find("Using"), std::string::npos) << device.console();
    (void)qm::keypad_shutdown();
    qm::process_state_reset();
}

INSTANTIATE_TEST_SUITE_P(
    Boards, KeypadBoards,
    testing::Values(
        BoardCase{"morvek", "H123", "kb_rev=3", "SELECT_hold_timeout=0 SELECT_auto_repeat_time=0 fiveway_rev=2",
                  "INFO:Using Morvek/Tova fiveway setting\n"},
        BoardCase{"tova_world_wide", "G123", "kb_rev=4",
                  "SELECT_hold_timeout=0 SELECT_auto_repeat_time=0 fiveway_rev=2",
                  "INFO:Using Tova keypad setting\n"},
        BoardCase{"orvik", "D123", "kb_rev=0", "SELECT_hold_timeout=0 SELECT_auto_repeat_time=0 fiveway_rev=0",
                  "INFO:Using Orvik keypad setting\n"},
        BoardCase{"selda", "K123", "", "",
                  "INFO:Using default fiveway setting. (not passing \"fiveway_rev\" to module)\n"},
        BoardCase{"unknown", "Z123", "", "", ""}),
    test::ParamName());

}  // namespace

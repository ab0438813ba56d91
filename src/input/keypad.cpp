#include "input/keypad.h"

#include <fcntl.h>
#include <linux/input.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/boardid.h"
#include "storage/module.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

constexpr int max_keypads = 4;
constexpr const char* keyboard_module = "/lib/modules/mxc_keyb.ko";
constexpr const char* fiveway_module = "/lib/modules/fiveway.ko";

// The open keypad devices.
struct keypad_state {
    int fd[max_keypads] = {-1, -1, -1, -1};
    int count = 0;
};
keypad_state keypads;

struct ModuleSetting {
    int (*applies)();
    const char* message;
    const char* args;
};

int morvek_any() { return is_morvek() || is_morvek_world_wide(); }
int tova_any() { return is_tova() || is_tova_world_wide(); }
int morvek_or_tova_family() { return is_morvek_family() || is_tova_family(); }

constexpr ModuleSetting keyboard_settings[] = {
    {morvek_any, "INFO:Using Morvek keypad setting\n", "kb_rev=3"},
    {tova_any, "INFO:Using Tova keypad setting\n", "kb_rev=4"},
    {is_orvik, "INFO:Using Orvik keypad setting\n", "kb_rev=0"},
    {is_selda_platform, "INFO:Using default keypad setting. (not passing \"kb_rev\" to module)\n", ""},
};

constexpr ModuleSetting fiveway_settings[] = {
    {morvek_or_tova_family, "INFO:Using Morvek/Tova fiveway setting\n",
     "SELECT_hold_timeout=0 SELECT_auto_repeat_time=0 fiveway_rev=2"},
    {is_orvik, "INFO:Using Orvik fiveway setting\n", "SELECT_hold_timeout=0 SELECT_auto_repeat_time=0 fiveway_rev=0"},
    {is_selda_platform, "INFO:Using default fiveway setting. (not passing \"fiveway_rev\" to module)\n", ""},
};

// The first matching row's parameters, its message printed; "" when none.
template <size_t N>
const char* choose_args(const ModuleSetting (&settings)[N]) {
    for (const auto& setting : settings) {
        if (setting.applies()) {
            err("%s", setting.message);
            return setting.args;
        }
    }
    return "";
}

struct KeyMapping {
    unsigned short code;
    unsigned char c;
};

// Every key that yields a character; all other codes yield nothing.
constexpr KeyMapping key_mappings[] = {
    {KEY_1, '1'}, {KEY_2, '2'}, {KEY_3, '3'}, {KEY_4, '4'}, {KEY_5, '5'},
    {KEY_6, '6'}, {KEY_7, '7'}, {KEY_8, '8'}, {KEY_9, '9'}, {KEY_0, '0'},
    {KEY_BACKSPACE, 8},
    {KEY_Q, 'q'}, {KEY_W, 'w'}, {KEY_E, 'e'}, {KEY_R, 'r'}, {KEY_T, 't'},
    {KEY_Y, 'y'}, {KEY_U, 'u'}, {KEY_I, 'i'}, {KEY_O, 'o'}, {KEY_P, 'p'},
    {KEY_ENTER, 13},
    {KEY_A, 'a'}, {KEY_S, 's'}, {KEY_D, 'd'}, {KEY_F, 'f'}, {KEY_G, 'g'},
    {KEY_H, 'h'}, {KEY_J, 'j'}, {KEY_K, 'k'}, {KEY_L, 'l'},
    {KEY_LEFTSHIFT, '%'},
    {KEY_Z, 'z'}, {KEY_X, 'x'}, {KEY_C, 'c'}, {KEY_V, 'v'}, {KEY_B, 'b'},
    {KEY_N, 'n'}, {KEY_M, 'm'},
    {KEY_RIGHTSHIFT, '%'}, {KEY_LEFTALT, '^'}, {KEY_SPACE, ' '}, {KEY_F2, '*'},
    {KEY_KATAKANA, '@'}, {KEY_HIRAGANA, '\\'}, {KEY_HENKAN, '$'}, {KEY_KPJPCOMMA, '&'},
    {KEY_KPENTER, 13}, {KEY_KPSLASH, '/'},
    // The cursor keys come out as the control characters of W, A, S and D.
    {KEY_UP, 23}, {KEY_PAGEUP, ']'}, {KEY_LEFT, 1}, {KEY_RIGHT, 4}, {KEY_DOWN, 19},
    {KEY_PAGEDOWN, '['},
    {KEY_HANGEUL, 23}, {KEY_HANJA, 19}, {KEY_YEN, ']'}, {KEY_COMPOSE, '#'},
};

}  // namespace

int keypad_char(unsigned code) {
    for (const auto& mapping : key_mappings)
        if (mapping.code == code) return mapping.c;
    return 0;
}

namespace {

void load_keyboard_driver() {
    if (!install_module(keyboard_module, choose_args(keyboard_settings)))
        err("ERROR:Could not load keypad driver\n");
}

// Opens /dev/input/event0..3 into an empty table; 1 when all four opened.
int open_event_devices() {
    auto& k = sys::kernel();
    keypads.count = 0;
    for (int& fd : keypads.fd) fd = -1;
    int result = 1;
    for (unsigned unit = 0; unit < 4; ++unit) {
        if (keypads.count >= max_keypads) {
            err("WARNING:Maximum number of keypad devices opened.\n");
            break;
        }
        char path[4096];
        std::snprintf(path, sizeof path, "/dev/input/event%u", unit);
        const int fd = k.open(path, O_RDWR);
        keypads.fd[keypads.count] = fd;
        if (fd >= 0) {
            ++keypads.count;
            err("INFO:%s:keypad device opened successfully (count=%d)\n", path, keypads.count);
        } else {
            report_errno(path, errno);
            result = 0;
        }
    }
    return result;
}

}  // namespace

int keypad_init() {
    load_keyboard_driver();
    if (!install_module(fiveway_module, choose_args(fiveway_settings)))
        err("ERROR:Could not load fiveway driver\n");
    return open_event_devices();
}

int keypad_restart() {
    load_keyboard_driver();
    return open_event_devices();
}

void keypad_set(fd_set* set, int* highest) {
    for (int i = 0; i < keypads.count; ++i) {
        const int fd = keypads.fd[i];
        if (fd < 0) continue;
        FD_SET(fd, set);
        if (highest != nullptr && fd > *highest) *highest = fd;
    }
}

int keypad_isset(const fd_set* set) {
    for (int i = 0; i < keypads.count; ++i)
        if (keypads.fd[i] >= 0 && FD_ISSET(keypads.fd[i], set)) return 1;
    return 0;
}

int keypad_getch() {
    auto& k = sys::kernel();
    fd_set ready;
    FD_ZERO(&ready);
    int highest = -1;
    keypad_set(&ready, &highest);
    int pending = k.select(highest + 1, &ready, nullptr, nullptr, nullptr);
    if (pending <= 0) return 0;

    for (int i = 0; pending > 0 && i < keypads.count; ++i) {
        const int fd = keypads.fd[i];
        if (fd < 0 || !FD_ISSET(fd, &ready)) continue;
        // The record of the platform the program runs on: 16 bytes on a
        // 32-bit kernel, 24 on a 64-bit one.
        input_event event {};
        const ssize_t n = k.read(fd, &event, sizeof event);
        --pending;
        if (n <= 0) {
            const int error = n < 0 ? errno : 0;
            err("ERROR:read from fd=%d:%s\n", fd, std::strerror(error));
            // A device that is gone (its driver unloaded) stays ready and
            // fails every read: it is closed, or every wait would spin on it.
            if (error != EINTR && error != EAGAIN) {
                (void)k.close(fd);
                keypads.fd[i] = -1;
            }
            continue;
        }
        if (static_cast<size_t>(n) < sizeof event) continue;
        if (event.type == EV_KEY && event.value == 1) {
            const int c = keypad_char(event.code);
            if (c > 0) return c;
        }
    }
    return 0;
}

int keypad_shutdown() {
    auto& k = sys::kernel();
    while (keypads.count != 0) {
        --keypads.count;
        if (keypads.fd[keypads.count] >= 0) (void)k.close(keypads.fd[keypads.count]);
        keypads.fd[keypads.count] = -1;
    }
    return k.delete_module(modname(keyboard_module), 0);
}

void keypad_state_reset() { keypads = {}; }

}  // namespace qm

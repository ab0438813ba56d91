#include "boot/quillmar.h"

#include <sys/reboot.h>

#include "boot/battery_lockout.h"
#include "boot/handoff.h"
#include "boot/menu.h"
#include "boot/provision.h"
#include "boot/startup.h"
#include "diag/dmesg.h"
#include "diag/dumpversion.h"
#include "display/eink.h"
#include "display/screens.h"
#include "input/erasecheck.h"
#include "input/keypad.h"
#include "input/readkey.h"
#include "platform/boardid.h"
#include "storage/block_check.h"
#include "storage/gadget.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

constexpr int boot_normal = 0;
constexpr int boot_developer_menu = 1;
constexpr int boot_erase_check = 2;
// 0 is no closed prompt: read_key waits one select of a second before it
// first looks at the clock, so the console has that one second to ask for
// a menu. Every boot of every reader waits for it, so it stays that short.
constexpr int prompt_window_seconds = 0;

// The boot prompt: ENTER asks for the developer menu, "/" for the erase
// check; otherwise the internal MMC must answer a read.
int ask_boot_mode() {
    auto& k = sys::kernel();
    const time_t start = k.time(nullptr);
    out("Press [ENTER] for recovery menu...     ");
    int remaining = 0;
    for (;;) {
        char key = 0;
        if (read_key(&key, remaining, nullptr, 0, 1)) {
            if (key == '\n' || key == '\r') return boot_developer_menu;
            if (key == '/') return boot_erase_check;
        }
        remaining = static_cast<int>(start + prompt_window_seconds - k.time(nullptr));
        if (remaining <= 0) return check_block_device("/dev/mmcblk0");
    }
}

[[noreturn]] void boot_failure(int code) {
    auto& k = sys::kernel();
    // The panel is best effort here: the console line and the power-off
    // follow whatever it gives.
    (void)eink_screen(screen_boot_failed);
    (void)eink_display_error(code);
    err("EMERGENCY:***** THERE WAS A PROBLEM BOOTING THE DEVICE (errcode=%d) *****\n", code);
    for (;;) {
        err("EMERGENCY:Powering off ...\n");
        (void)eink_asis();
        dmesg_display(1);
        k.sync();
        k.reboot(RB_POWER_OFF);
        k.sleep(30);
    }
}

void start_recovery_environment() {
    auto& k = sys::kernel();
    // The recovery environment runs with whatever of it came up: each part
    // reports its own failure, and the console menus need neither.
    k.alarm(30);
    (void)eink_init();
    k.alarm(0);
    k.alarm(15);
    (void)storage_init();
    k.alarm(0);
}

// The factory reset confirmed at the device: erase, offer the user store to
// a USB host, and install whatever bundle the host left there.
int factory_reset() {
    // A failed erase is reported; the user store is still offered, so that
    // the host can put a bundle on it that mends the device.
    (void)erase_userstore_and_varlocal();
    do {
        if (storage_export("/dev/mmcblk0p4") == 0) storage_menu("FAT32");
        (void)storage_export(nullptr);  // reports its own failure
    } while (autopilot_update() == 0);
    quillmar_shutdown(0);
    return 1;
}

}  // namespace

int quillmar_main() {
    auto& k = sys::kernel();
    install_fatal_handlers();

    k.alarm(15);
    mount_proc();
    mount_sys();
    dump_version_info();
    k.alarm(0);

    k.alarm(15);
    disable_hotplug();
    // Without a board identity or a keypad the boot still goes on: the
    // family checks then answer no, and the console still takes keys.
    (void)boardid_init();
    (void)keypad_init();
    k.alarm(15);

    const int boot_mode = ask_boot_mode();
    k.alarm(0);
    critical_battery_check();
    check_partition_table();

    bool try_handoff = boot_mode == boot_normal;
    for (;;) {
        if (try_handoff) {
            // Whatever the update gave, the hand-off is tried next.
            (void)autopilot_update();
            k.alarm(15);
            default_boot();
            k.alarm(0);
        }
        start_recovery_environment();
        if (boot_mode == boot_developer_menu) {
            main_menu();
            quillmar_shutdown(0);
            return 1;
        }
        if (boot_mode < 0) boot_failure(-boot_mode);
        if (erasecheck()) return factory_reset();
        err("INFO:Erasecheck skipped, booting normally.\n");
        try_handoff = true;
    }
}

}  // namespace qm

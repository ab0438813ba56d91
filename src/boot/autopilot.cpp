#include <sys/reboot.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "boot/handoff.h"
#include "boot/quillmar.h"
#include "display/eink.h"
#include "display/screens.h"
#include "input/readkey.h"
#include "platform/boardid.h"
#include "storage/gadget.h"
#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/time_limit.h"
#include "update/update.h"

namespace qm {

namespace {

// With nobody at the keys, "Press R" after a failed update is pressed for
// them after this long: the next boot tries the update again.
constexpr int press_r_seconds = 600;
// A reader held in recovery waits this long for a person or a USB host,
// then powers off to save its battery.
constexpr int hold_seconds = 600;
// Once a host has the user store, this long for the copy of a new bundle.
constexpr int host_seconds = 3600;
constexpr const char* user_store = "/dev/mmcblk0p4";

// Reboots; when the kernel refuses even the power-off, the boot goes on
// with the hand-off instead of ending the first process (which would
// panic the kernel).
void reboot_or_boot_on(int clean) {
    sys::kernel().alarm(20);
    quillmar_shutdown(clean);
    sys::kernel().alarm(0);
    err("EMERGENCY:Could not restart the device; booting on\n");
}

// After an update that may have left the system torn nothing may hand it
// over: a kernel that refuses the restart and the power-off is asked for
// the power-off again, as the boot failure does.
[[noreturn]] void power_off_for_good() {
    auto& k = sys::kernel();
    for (;;) {
        err("EMERGENCY:Powering off ...\n");
        k.sync();
        k.reboot(RB_POWER_OFF);
        report_errno("power-off", errno);
        k.sleep(30);
    }
}

[[noreturn]] void reboot_or_power_off(int clean) {
    sys::kernel().alarm(20);
    quillmar_shutdown(clean);
    sys::kernel().alarm(0);
    err("EMERGENCY:Could not restart the device after a failed update; it is not handed over\n");
    power_off_for_good();
}

// The update-failed screen with its code. The panel is started first if
// nothing has started it yet at this boot (a panel whose start hangs is
// left out, and the code is on the console either way).
void show_code(int code) {
    auto& k = sys::kernel();
    (void)update_panel_start();
    k.alarm(15);
    (void)eink_screen(screen_update_failed);
    (void)eink_display_error(code);
    k.alarm(0);
}

// Shows the user store to a USB host (unmounted here first). A request that
// hangs ends the offer, not the hold. True when it is offered.
[[nodiscard]] bool offer_user_store() {
    auto& k = sys::kernel();
    k.alarm(15);
    (void)unmount_dosfs();  // a store that stays mounted is still offered: the host sees what is written
    k.alarm(0);
    const sys::TimeLimit limit(15);
    return storage_init() == 0 && storage_export(user_store) == 0 && !limit.expired();
}

// The update began writing and cannot finish, and the system on the device
// is not whole: it is never handed over. The panel shows the code; a USB
// host may copy a good bundle onto the user store, after which the reader
// restarts to install it; R restarts it to try again; with nobody there
// it powers off. The next power-up tries again or takes the new bundle.
[[noreturn]] void hold_in_recovery(int code) {
    auto& k = sys::kernel();
    show_code(code);
    const bool offered = offer_user_store();
    err("INFO:The reader is held in recovery. %sR tries the update again; powering off in %d minutes.\n",
        offered ? "Connect a computer to copy a good update bundle onto it. " : "", hold_seconds / 60);
    time_t deadline = k.time(nullptr) + hold_seconds;
    int awaited = 1;  // first the host taking the store, then letting it go
    bool restart = false;
    while (!restart) {
        const time_t left = deadline - k.time(nullptr);
        if (left <= 0) break;
        const int seconds = static_cast<int>(std::min<time_t>(left, 30));
        k.alarm(static_cast<unsigned>(seconds) + 60);
        char key = 0;
        int state = 0;
        const int got = read_key(&key, seconds, offered ? &state : nullptr, awaited, 0);
        k.alarm(0);
        if (got && key == 0) {
            if (awaited == 1) {
                out("\nUSB CONNECTED!!\n");
                awaited = 0;
                deadline = k.time(nullptr) + host_seconds;
                continue;
            }
            out("\nUSB DISCONNECTED!!\n");
            restart = true;
        }
        if (got && (key == 'r' || key == 'R')) restart = true;
    }
    if (offered) {
        const sys::TimeLimit limit(15);
        (void)storage_export(nullptr);  // reports its own failure
    }
    if (restart) reboot_or_power_off(0);
    err("INFO:Nobody came in %d minutes; powering off\n", hold_seconds / 60);
    k.alarm(30);
    storage_shutdown();
    power_off_for_good();
}

}  // namespace

int autopilot_update() {
    auto& k = sys::kernel();
    err("INFO:Checking for updates... (auto-pilot mode)\n");
    k.alarm(15);
    if (!mount_dosfs()) {
        err("ERROR:No userstore partition, cannot check for updates.\n");
        k.alarm(0);
        return 0;
    }
    k.alarm(0);

    int result = 0;
    const int installed = update_os(&result, is_orvik());
    if (result == update_held) hold_in_recovery(result);
    if (installed == 0) {
        const bool refused = result == update_too_many_bundles;
        if (refused || result == update_given_up || result == update_failed) {
            // Several bundles, an update that never finished, or one that
            // could not even begin: say so, then boot what is there.
            show_code(result);
            k.sleep(10);
        }
        k.alarm(15);
        (void)unmount_dosfs();
        if (!refused) err("INFO:no updates found.\n");
        k.alarm(0);
        return refused ? 0 : 1;
    }
    if (installed > 0) {
        (void)eink_screen(screen_update_done);
        (void)unmount_dosfs();
        reboot_or_boot_on(1);
        return 1;
    }

    err("ERROR:*** There was a problem in the updates!\n");
    show_code(result);
    (void)unmount_dosfs();
    err("INFO:Update failed *** Press R to continue...\n");
    const time_t start = k.time(nullptr);
    for (;;) {
        // The watchdog guards each pass of the wait.
        k.alarm(60);
        char key = 0;
        // A time-out leaves key at 0, which only asks again.
        (void)read_key(&key, 10, nullptr, 0, 0);
        if (key == 'r' || key == 'R') break;
        if (k.time(nullptr) - start >= press_r_seconds) {
            err("INFO:No R in %d minutes; going on as R does\n", press_r_seconds / 60);
            break;
        }
    }
    k.alarm(0);
    reboot_or_power_off(0);
}

}  // namespace qm

#include <cstdlib>

#include "boot/handoff.h"
#include "boot/quillmar.h"
#include "display/eink.h"
#include "display/screens.h"
#include "input/readkey.h"
#include "platform/boardid.h"
#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "update/update.h"
#include "update/update_log.h"

namespace qm {

namespace {

// Reboots; when the kernel refuses even the power-off, the boot goes on
// with the hand-off instead of ending the first process (which would
// panic the kernel).
void reboot_or_boot_on(int clean) {
    sys::kernel().alarm(20);
    quillmar_shutdown(clean);
    sys::kernel().alarm(0);
    err("EMERGENCY:Could not restart the device; booting on\n");
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
    k.alarm(15);
    update_attempt refused;  // logged only when the bundles are refused here
    if (has_multiple_updates("/mnt-us") > 1) {
        err("ERROR:Refusing to update: too many update files found.\n");
        (void)update_log_write(refused, 0, update_too_many_bundles);  // reported when it cannot be written
        // Unmounting and the panel report their own failures; the boot goes
        // on the same way whatever they give.
        (void)unmount_dosfs();
        (void)eink_screen(screen_update_failed);
        (void)eink_display_error(update_too_many_bundles);
        k.sleep(10);
        k.alarm(0);
        return 0;
    }

    int result = 0;
    const int installed = update_os(&result, is_orvik());
    if (installed == 0) {
        if (result == update_given_up || result == update_failed) {
            // An update that never finished, or that could not even begin:
            // say so, then boot what is there.
            (void)eink_screen(screen_update_failed);
            (void)eink_display_error(result);
            k.sleep(10);
        }
        k.alarm(15);
        (void)unmount_dosfs();
        err("INFO:no updates found.\n");
        k.alarm(0);
        return 1;
    }
    if (installed > 0) {
        (void)eink_screen(screen_update_done);
        (void)unmount_dosfs();
        reboot_or_boot_on(1);
        return 1;
    }

    err("ERROR:*** There was a problem in the updates!\n");
    (void)eink_screen(screen_update_failed);
    (void)eink_display_error(result);
    (void)unmount_dosfs();
    k.alarm(20);
    err("INFO:Update failed *** Press R to continue...\n");
    char key = 0;
    do {
        k.alarm(60);
        key = 0;
        // A time-out leaves key at 0, which only asks again.
        (void)read_key(&key, 10, nullptr, 0, 0);
    } while (key != 'r' && key != 'R');
    reboot_or_boot_on(0);
    return 1;
}

}  // namespace qm

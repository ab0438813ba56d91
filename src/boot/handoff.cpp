#include "boot/handoff.h"

#include <fcntl.h>
#include <sys/reboot.h>

#include <cerrno>

#include "boot/startup.h"
#include "diag/dmesg.h"
#include "display/eink.h"
#include "display/screens.h"
#include "input/keypad.h"
#include "input/readkey.h"
#include "storage/gadget.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

constexpr const char* kernel_boot_flag = "/proc/bootglobals/kernel_boot_flag";

constexpr int restart_requests = 3;

void select_primary_kernel() {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(kernel_boot_flag, O_WRONLY));
    if (!fd.valid()) {
        report_errno(kernel_boot_flag, errno);
        return;
    }
    err("Setting bootglobals primary/secondary kernel to %d\n", 0);
    // An error may only show when the file is closed.
    const ssize_t written = k.write(fd.get(), "0\n", 2);
    if (written < 0 || k.close(fd.release()) != 0)
        report_errno(kernel_boot_flag, errno);
    else if (written != 2)
        err("ERROR:%s:Short write, giving up.\n", kernel_boot_flag);
    else
        return;
    err("WARNING:The primary kernel was not selected; the boot loader keeps its own choice\n");
}

// Asks for a restart, again when the kernel refuses, and then for a
// power-off; returns only when that is refused too.
void request_restart() {
    auto& k = sys::kernel();
    for (int request = 1; request <= restart_requests; ++request) {
        k.reboot(RB_AUTOBOOT);
        report_errno("reboot", errno);
        if (request == restart_requests) break;
        err("ERROR:The restart was refused; asking again\n");
        k.sleep(1);
    }
    err("EMERGENCY:The restart was refused %d times; powering off ...\n", restart_requests);
    k.sync();
    k.reboot(RB_POWER_OFF);
    report_errno("power-off", errno);
}

// After a failed hand-off the run goes on in the menus and the update
// loop: they need the keypad, /proc (a clean reboot writes the kernel flag
// there) and whatever of the display and the USB storage was up before.
void restore_after_failed_handoff(bool storage_was_up, bool display_was_up) {
    // Each part reports its own failure; the menus run with what came back.
    mount_proc();
    (void)keypad_restart();
    if (storage_was_up) (void)storage_init();
    if (display_was_up) (void)eink_init();
}

}  // namespace

void default_boot() {
    auto& k = sys::kernel();
    const bool storage_was_up = g_storage_initialized != 0;
    const bool display_was_up = g_eink_canvas.xres != 0;
    // Nothing taken down here can stop the hand-off: a part that failed to
    // stop has said so, and the next program starts over anyway.
    (void)keypad_shutdown();
    (void)eink_screen(screen_please_wait);
    storage_shutdown();
    (void)eink_screen(screen_booting);
    eink_shutdown();
    out("BOOTING DEFAULT.\n");
    disable_hotplug();
    (void)k.umount2("/proc", 0);
    char arg0[] = "kinit";
    char* const argv[] = {arg0, nullptr};
    k.execv("/bin/kinit", argv);
    report_perror("execl()", errno);
    restore_after_failed_handoff(storage_was_up, display_was_up);
}

void quillmar_shutdown(int clean) {
    auto& k = sys::kernel();
    if (clean) {
        err("INFO:Rebooting ... \n");
        wait_a_sec(10);
        k.alarm(30);
        select_primary_kernel();
    } else {
        err("INFO:Rebooting ... failing over to alternate kernel\n");
        wait_a_sec(10);
        k.alarm(30);
    }
    (void)keypad_shutdown();  // the restart follows whatever it gives
    storage_shutdown();
    dmesg_display(1);
    k.sync();
    request_restart();
}

}  // namespace qm

#include "boot/startup.h"

#include <fcntl.h>
#include <sys/reboot.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "diag/dmesg.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

constexpr int fatal_signals[] = {SIGALRM, SIGINT, SIGQUIT, SIGILL, SIGABRT, SIGFPE, SIGSEGV, SIGTERM};

void handle_fatal_signal(int signal) { sh_die(signal); }

void mount_if_missing(const char* probe, const char* type, const char* target) {
    auto& k = sys::kernel();
    struct stat status {};
    if (k.stat(probe, &status) == 0) return;
    if (k.mount(type, target, type, 0, "") != 0) report_errno(type, errno);
}

}  // namespace

void sh_die(int signal) {
    auto& k = sys::kernel();
    char notice[128];
    const int length =
        signal == SIGALRM
            ? std::snprintf(notice, sizeof notice, "\a\n*** Unexpected Timeout during routine -- rebooting! ***\n\n")
            : std::snprintf(notice, sizeof notice, "\a\n*** Caught signal %d -- rebooting! ***\n\n", signal);
    if (length > 0) (void)k.write(1, notice, static_cast<size_t>(length));  // the reboot follows regardless
    dmesg_display(1);
    k.sync();
    k.reboot(RB_AUTOBOOT);
    sys::exit_process(0);
}

void install_fatal_handlers() {
    struct sigaction action {};
    action.sa_handler = handle_fatal_signal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : fatal_signals) {
        if (sys::kernel().sigaction(signal, &action, nullptr) != 0)
            err("ERROR:sigaction():%s:sig=%d\n", std::strerror(errno), signal);
    }
}

void mount_proc() { mount_if_missing("/proc/cmdline", "proc", "/proc"); }
void mount_sys() { mount_if_missing("/sys/bus", "sysfs", "/sys"); }

void disable_hotplug() {
    constexpr const char* path = "/proc/sys/kernel/hotplug";
    sys::unique_fd fd(sys::kernel().open(path, O_RDWR));
    if (!fd.valid()) {
        report_errno(path, errno);
        return;
    }
    const char nothing = 0;
    if (sys::kernel().write(fd.get(), &nothing, 1) < 0) report_errno(path, errno);
}

}  // namespace qm

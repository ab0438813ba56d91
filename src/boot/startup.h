// The small start-up steps that only the boot sequence runs.
#pragma once

namespace qm {

// Handler of the alarm and of every fatal signal: prints a notice, dumps
// the kernel messages and restarts the device. Never returns.
[[noreturn]] void sh_die(int signal);

// Installs sh_die for SIGALRM, SIGINT, SIGQUIT, SIGILL, SIGABRT, SIGFPE,
// SIGSEGV and SIGTERM, in that order.
void install_fatal_handlers();

void mount_proc();
void mount_sys();
void disable_hotplug();

}  // namespace qm

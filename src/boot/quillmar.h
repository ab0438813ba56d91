// The boot sequence of the recovery and update program.
#pragma once

namespace qm {

// The program's entry point, run as the first process. Does not return on
// the normal paths (hand-off, reboot, power-off); 1 only when the final
// reboot request itself returns.
[[nodiscard]] int quillmar_main();

// Looks for one bundle on the user store and installs it. 1 when there was
// nothing to install (an update given up after too many boots included), 0
// when it could not look or refused; reboots after an installation,
// successful or not, and returns 1 only when the kernel refused to restart
// and to power off.
[[nodiscard]] int autopilot_update();

// Checks the internal MMC's partition table and rebuilds or repairs it.
void check_partition_table();

}  // namespace qm

// The boot sequence of the recovery and update program.
#pragma once

namespace qm {

// The program's entry point, run as the first process. Does not return on
// the normal paths (hand-off, reboot, power-off); 1 only when the final
// reboot request itself returns.
int quillmar_main();

// Looks for one bundle on the user store and installs it. 1 when there was
// nothing to install, 0 when it could not look or refused; reboots (does
// not return) after an installation, successful or not.
int autopilot_update();

// Checks the internal MMC's partition table and rebuilds or repairs it.
void check_partition_table();

}  // namespace qm

// The regular ends of a run: the hand-off to the normal boot program and
// the two kinds of reboot.
#pragma once

namespace qm {

// Tears the recovery environment down and replaces the process with
// /bin/kinit. Returns only when that fails (reported with perror), having
// mounted /proc and started the keypad again, and the display and the USB
// storage drivers when they had been up.
void default_boot();

// Reboots. clean != 0 first selects the primary kernel by writing "0\n" to
// the kernel boot flag (a failed write is reported and the reboot goes on);
// clean == 0 leaves the boot loader's fail-over selection alone. A refused
// restart is reported and asked for again, then a power-off is asked for;
// returns only when that is refused as well.
void quillmar_shutdown(int clean);

}  // namespace qm

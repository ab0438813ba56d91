// The version banner printed at start-up: kernel release, build and clock.
#pragma once

namespace qm {

// Prints "<release> <version> <machine>[ <N>MHz]" (or "unknown") and a line
// feed on the standard output.
void dump_version_info();

// The main CPU clock in Hz (despite the name) from /proc/cpu/clocks, or -1.
[[nodiscard]] long get_cpu_mhz();

}  // namespace qm

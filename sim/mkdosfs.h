// /bin/mkdosfs as the simulated device's shell runs it. It formats the
// device FAT32 as far as the simulation keeps file systems: a boot sector
// (with the volume label) at the start of the device and its backup, and
// an emptied directory of the device directory for the files (userstore/
// for the user store behind /dev/loop0). Its writes go through the kernel,
// so injected faults reach them.
#pragma once

#include <string>

namespace sim {

class Kernel;

// Runs one command line; returns a wait status as system(3) does.
int run_mkdosfs(Kernel& kernel, const std::string& command);

}  // namespace sim

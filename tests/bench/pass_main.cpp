// One bundle pass of the device program's code on the real kernel, and
// nothing else: the program whose instructions scripts/bench counts on the
// reader's processor under the user-mode emulator (docs/benchmarks.md).
//
//   qm_bench_pass check BUNDLE          the check pass and verdict
//   qm_bench_pass unbundle BUNDLE DEST  check pass, then install pass onto DEST
//
// Exit status 0 when the pass succeeded. The passes' console lines go to the
// standard output and error as on the device.
#include <cstdio>
#include <cstring>
#include <string>

#include "passes.h"
#include "sys/linux_kernel.h"

int main(int argc, char** argv) {
    static sys::LinuxKernel kernel;
    sys::install(kernel);
    if (argc == 3 && std::strcmp(argv[1], "check") == 0) return bench::check_pass(argv[2]) ? 0 : 1;
    if (argc == 4 && std::strcmp(argv[1], "unbundle") == 0) return bench::unbundle(argv[2], argv[3]) ? 0 : 1;
    std::fprintf(stderr, "usage: qm_bench_pass check BUNDLE | unbundle BUNDLE DEST\n");
    return 2;
}

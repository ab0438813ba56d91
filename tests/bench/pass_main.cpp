// One bundle pass of the device program's code on the real kernel, and
// nothing else: the program whose instructions scripts/bench counts on the
// reader's processor under the user-mode emulator (docs/benchmarks.md).
//
//   qm_bench_pass check BUNDLE                  the check pass and verdict
//   qm_bench_pass unbundle BUNDLE DEST          check pass, then install pass onto DEST
//   qm_bench_pass parts BUNDLE                  only the bundle taken apart for the kernels
//   qm_bench_pass unbundle-kernels BUNDLE DEST  the same, then both passes' bare work
//
// The bare work's count is the difference of the last two. Exit status 0
// when the pass succeeded. The passes' console lines go to the standard
// output and error as on the device.
#include <cstdio>
#include <string>

#include "kernels.h"
#include "passes.h"
#include "sys/linux_kernel.h"

int main(int argc, char** argv) {
    static sys::LinuxKernel kernel;
    sys::install(kernel);
    const std::string what = argc >= 2 ? argv[1] : "";
    if (argc == 3 && what == "check") return bench::check_pass(argv[2]) ? 0 : 1;
    if (argc == 4 && what == "unbundle") return bench::unbundle(argv[2], argv[3]) ? 0 : 1;
    if ((argc == 3 && what == "parts") || (argc == 4 && what == "unbundle-kernels")) {
        bench::bundle_parts parts;
        parts.path = argv[2];
        if (!bench::load_parts(parts)) return 1;
        return what == "parts" || bench::unbundle_kernels(parts, argv[3]) ? 0 : 1;
    }
    std::fprintf(stderr,
                 "usage: qm_bench_pass check BUNDLE | unbundle BUNDLE DEST | parts BUNDLE"
                 " | unbundle-kernels BUNDLE DEST\n");
    return 2;
}

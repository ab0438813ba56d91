// The device program: the boot sequence on the running Linux kernel.
#include "boot/quillmar.h"
#include "sys/linux_kernel.h"

int main() {
    static sys::LinuxKernel linux_kernel;
    sys::install(linux_kernel);
    return qm::quillmar_main();
}

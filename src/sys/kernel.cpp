#include "sys/kernel.h"

#include <cstdlib>

namespace sys {

namespace {
Kernel* installed = nullptr;
}

Kernel& kernel() {
    // Running without a kernel is a programming error in the entry point;
    // there is nothing sensible to report it through.
    if (installed == nullptr) std::abort();
    return *installed;
}

void install(Kernel& k) { installed = &k; }

void exit_process(int status) {
    kernel().exit(status);
    std::abort();  // an exit that returned
}

}  // namespace sys

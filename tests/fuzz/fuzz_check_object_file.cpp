// Stored kernel and boot-loader images of any content, checked from a file
// of the simulated device with every diagnostic line on.
#include <fcntl.h>

#include "fuzz_device.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/ckimage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::next_input();
    const std::string path = fuzz::put_file("fuzz-object.img", data, size);
    qm::ckimage_configure(1, 1, 0);
    sys::unique_fd file(sys::kernel().open(path.c_str(), O_RDONLY));
    if (!file.valid()) __builtin_trap();
    (void)qm::check_object_file(file.get(), path.c_str(), "fuzz");  // any verdict; the check must not crash
    return 0;
}

// The whole check pass of both families (header, unscrambling, inflation,
// tar walk, digests, signatures, verdict) on arbitrary bundle bytes read
// from a file of the simulated device.
#include <fcntl.h>

#include "fuzz_device.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/signing.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::next_input();
    const std::string path = fuzz::put_file("fuzz-bundle.bin", data, size);
    qm::update_config config{"/dev/mmcblk0", nullptr, "/dev/mmcblk0p1", "/dev/mmcblk0", nullptr, 0};
    for (const qm::new_member_handler check : {qm::selda::check_new_file, qm::orvik::check_new_file}) {
        sys::unique_fd file(sys::kernel().open(path.c_str(), O_RDONLY));
        if (!file.valid()) __builtin_trap();
        qm::progress_base = 0;
        qm::image_check checks[qm::image_type_count] = {};
        qm::authorise_bundle(path.c_str(), file.get(), &config, check, checks, nullptr);
        for (const qm::image_check& c : checks)
            if (c.sig_len > sizeof c.sig) __builtin_trap();
    }
    return 0;
}

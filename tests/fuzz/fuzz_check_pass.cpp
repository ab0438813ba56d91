// The whole check pass of both families (header, unscrambling, inflation,
// tar walk, digests, signatures, verdict) on arbitrary bundle bytes read
// from a file of the simulated device. An odd first byte: the rest is the
// whole file. An even one: the rest is the payload behind a header block
// with the magic, so that mutations are not spent on the unread header.
#include <fcntl.h>

#include "fuzz_device.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/signing.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::next_input();
    if (size < 1) return 0;
    std::string bytes;
    if ((data[0] & 1) == 0) {
        bytes.assign(qm::bundle_header_size, '\0');
        bytes.replace(0, sizeof qm::bundle_magic, qm::bundle_magic, sizeof qm::bundle_magic);
    }
    bytes.append(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string path =
        fuzz::put_file("fuzz-bundle.bin", reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    qm::update_config config{"/dev/mmcblk0", nullptr, "/dev/mmcblk0p1", "/dev/mmcblk0", nullptr, 0, nullptr, nullptr};
    for (const qm::new_member_handler check : {qm::selda::check_new_file, qm::orvik::check_new_file}) {
        sys::unique_fd file(sys::kernel().open(path.c_str(), O_RDONLY));
        if (!file.valid()) __builtin_trap();
        qm::progress_base = 0;
        qm::image_check checks[qm::image_type_count] = {};
        // Any verdict will do; what is looked at is that the walk stays in bounds.
        (void)qm::authorise_bundle(path.c_str(), file.get(), &config, check, checks, nullptr);
        for (const qm::image_check& c : checks)
            if (c.sig_len > sizeof c.sig) __builtin_trap();
    }
    return 0;
}

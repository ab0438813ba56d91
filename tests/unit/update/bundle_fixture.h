// Bundles made by mkbundle's writer and walked by the device's own pipeline
// on a simulated device, for the tests of the bundle area.
#pragma once

#include <fcntl.h>

#include <cstring>
#include <string>
#include <vector>

#include "bundle_writer.h"
#include "support/simkernel.h"
#include "support/testdir.h"
#include "update/signing.h"
#include "update/unbundle_common.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"

namespace test {

inline std::string dev_key_path(int n) {
    return std::string(QM_KEYS_DIR) + (n == 1 ? "/dev-key1-rsa1024.pem" : "/dev-key2-rsa2048.pem");
}

inline const bundle::signing_key& dev_key(int n) {
    static bundle::signing_key keys[2];
    static bool loaded[2] = {false, false};
    if (!loaded[n - 1]) {
        std::string error;
        if (!keys[n - 1].load(dev_key_path(n), error)) throw std::runtime_error(error);
        loaded[n - 1] = true;
    }
    return keys[n - 1];
}

// A payload that looks like an image of the given size.
inline std::string image_bytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 23);
    }
    return bytes;
}

// The result of one check pass and verdict on a simulated device.
struct CheckRun {
    int pass = 0;
    int authorised = 0;
    qm::image_check checks[qm::image_type_count]{};
    std::string console;
};

// Writes bytes as /update.bin of the device and opens it for reading.
inline int place_bundle(SimDevice& device, const std::string& bytes) {
    write_file(device.host("update.bin"), bytes);
    return device.kernel().open("/update.bin", O_RDONLY, 0);
}

// Runs the check pass of a family over the bundle bytes, then the verdict.
inline CheckRun check_bundle(const std::string& bytes, bundle::family family = bundle::family::selda) {
    SimDevice device;
    CheckRun run;
    const int fd = place_bundle(device, bytes);
    run.authorised = qm::authorise_bundle("/update.bin", fd, nullptr, bundle::family_check_new_file(family),
                                          run.checks, &run.pass);
    device.kernel().close(fd);
    run.console = device.take_console();
    return run;
}

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace test

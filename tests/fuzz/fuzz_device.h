// The one simulated device a fuzzing process runs the device code on. Each
// input starts with the clock moved on and the console dropped, so that a
// long run neither looks like a spinning program nor grows the console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/simkernel.h"
#include "support/testdir.h"

namespace fuzz {

inline test::SimDevice& device() {
    static test::SimDevice instance;
    return instance;
}

inline void next_input() {
    sim::Kernel& kernel = device().kernel();
    kernel.clock().advance_to(kernel.clock().now() + 1000);
    device().take_console();
}

// Stores the bytes as the device file /name and returns that program path.
inline std::string put_file(const std::string& name, const uint8_t* data, size_t size) {
    test::write_file(device().host(name), std::string(reinterpret_cast<const char*>(data), size));
    return "/" + name;
}

}  // namespace fuzz

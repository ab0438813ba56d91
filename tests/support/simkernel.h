// An in-process simulated device for unit tests: a fresh device directory,
// its sim::Kernel installed as the program's kernel, and the console
// captured into a string.
#pragma once

#include <memory>
#include <string>

#include "sim/device_dir.h"
#include "sim/kernel.h"
#include "support/testdir.h"

namespace test {

class SimDevice {
public:
    explicit SimDevice(const sim::InitOptions& options = {});
    ~SimDevice();

    sim::Kernel& kernel() { return *kernel_; }
    // Everything the program wrote on the console (stdout and stderr).
    const std::string& console() const { return console_; }
    std::string take_console();
    // Host path of a file of the device directory, e.g. host("proc/board_id").
    std::string host(const std::string& relative) const { return dir_ / ("dev/" + relative); }

private:
    TempDir dir_;
    std::unique_ptr<sim::Kernel> kernel_;
    std::string console_;
};

}  // namespace test

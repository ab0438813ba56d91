#include "support/simkernel.h"

#include <stdexcept>

#include "boot/process_state.h"

namespace test {

SimDevice::SimDevice(const sim::InitOptions& options) {
    std::string error;
    if (!sim::init_device(dir_ / "dev", options, error)) throw std::runtime_error(error);
    sim::DeviceDir device;
    if (!device.load(dir_ / "dev", error)) throw std::runtime_error(error);
    kernel_ = std::make_unique<sim::Kernel>(device, sim::Console::Input::silent);
    kernel_->console().capture_to(&console_);
    kernel_->on_run_end([](const std::string& line) { throw std::runtime_error("run ended: " + line); });
    sys::install(*kernel_);
    // Each device starts the program afresh: nothing a test before left in
    // the program's state may show through.
    qm::process_state_reset();
}

SimDevice::~SimDevice() = default;

std::string SimDevice::take_console() {
    std::string text;
    text.swap(console_);
    return text;
}

}  // namespace test

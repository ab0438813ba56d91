// The simulated kernel's message ring buffer, read by klogctl.
#pragma once

#include <string>

#include "sim/clock.h"

namespace sim {

class KernelLog {
public:
    explicit KernelLog(const Clock& clock) : clock_(clock) {}

    // Appends one message line, stamped with the virtual time.
    void log(const std::string& message);
    const std::string& text() const { return text_; }

    // klogctl: action 3 (read all) copies the newest bytes that fit, 10
    // (size of the buffer) answers its capacity, 4 and 5 clear it.
    int klogctl(int type, char* buf, int length);

private:
    static constexpr size_t capacity = 1 << 17;
    const Clock& clock_;
    std::string text_;
};

}  // namespace sim

// The kernel seam of mkbundle: Linux, with the standard output kept to
// whole lines when it is not a terminal.
#pragma once

#include <string>

#include "sys/linux_kernel.h"

namespace mkbundle {

// The device's progress display rewrites its line in place with carriage
// returns, many times per image. On a terminal that is one line that
// moves; in a log or a pipe it is every redraw on one line. When the
// standard output is not a terminal, each line reaches it once, as a
// terminal would end up showing it (carriage returns and backspaces move
// back over the line, the bytes written after them overwrite it).
class TerminalLinesKernel final : public sys::LinuxKernel {
public:
    ~TerminalLinesKernel() override;
    [[nodiscard]] ssize_t write(int fd, const void* buf, size_t count) override;

private:
    [[nodiscard]] bool put(const std::string& bytes);

    std::string line_;  // the line shown so far, not yet ended
    size_t column_ = 0;
};

}  // namespace mkbundle

#include "terminal_lines.h"

#include <unistd.h>

#include <cerrno>

namespace mkbundle {

TerminalLinesKernel::~TerminalLinesKernel() {
    // A line that never ended is shown as it stands.
    if (!line_.empty()) (void)put(line_);
}

bool TerminalLinesKernel::put(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = LinuxKernel::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

ssize_t TerminalLinesKernel::write(int fd, const void* buf, size_t count) {
    if (fd != STDOUT_FILENO || ::isatty(STDOUT_FILENO)) return LinuxKernel::write(fd, buf, count);
    const auto* bytes = static_cast<const char*>(buf);
    for (size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            column_ = 0;
        } else if (c == '\b') {
            if (column_ > 0) --column_;
        } else if (c == '\n') {
            const bool written = put(line_ + '\n');
            line_.clear();
            column_ = 0;
            if (!written) return -1;
        } else {
            if (column_ < line_.size())
                line_[column_] = c;
            else
                line_ += c;
            ++column_;
        }
    }
    return static_cast<ssize_t>(count);
}

}  // namespace mkbundle

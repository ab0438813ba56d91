#include "sys/line_reader.h"

#include <cerrno>

#include "sys/kernel.h"

namespace sys {

bool LineReader::fill() {
    for (;;) {
        const ssize_t n = kernel().read(fd_, data_, sizeof data_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        begin_ = 0;
        end_ = static_cast<size_t>(n);
        return true;
    }
}

bool LineReader::getline(char* buffer, size_t size) {
    if (size == 0) return false;
    size_t stored = 0;
    while (stored + 1 < size) {
        if (begin_ == end_ && !fill()) break;
        const char c = data_[begin_++];
        buffer[stored++] = c;
        if (c == '\n') break;
    }
    buffer[stored] = '\0';
    return stored > 0;
}

}  // namespace sys

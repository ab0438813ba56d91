#include "diag/dprintf.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "sys/kernel.h"

namespace qm {

int dprintf(int fd, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length > 0) {
        const size_t shown = std::min(static_cast<size_t>(length), sizeof buffer - 1);
        (void)sys::kernel().write(fd, buffer, shown);  // a printer: the length formatted is its result
    }
    return length;
}

}  // namespace qm

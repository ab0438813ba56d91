#include "sys/console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sys/console_tail.h"
#include "sys/kernel.h"

namespace qm {

long write_all(int fd, std::string_view bytes) {
    // Kept whether or not the line takes them: a reader seldom has a
    // console attached, and the log of an update must not depend on one.
    if (fd == 1 || fd == 2) console_tail_take(bytes);
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = sys::kernel().write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

int vprint_fd(int fd, const char* format, va_list args) {
    // Most console lines are short: format on the stack and fall back to the
    // heap only for the rare long one, so output is never cut.
    char small[1024];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    if (length < 0) {
        va_end(again);
        return length;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        write_all(fd, std::string_view(small, static_cast<size_t>(length)));
        return length;
    }
    std::string big(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), format, again);
    va_end(again);
    write_all(fd, std::string_view(big.data(), static_cast<size_t>(length)));
    return length;
}

int out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vprint_fd(1, format, args);
    va_end(args);
    return n;
}

int err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vprint_fd(2, format, args);
    va_end(args);
    return n;
}

void report_errno(const char* what, int error_number) {
    err("ERROR:%s:%s(%d)\n", what, std::strerror(error_number), error_number);
}

void report_perror(const char* prefix, int error_number) {
    err("%s: %s\n", prefix, std::strerror(error_number));
}

}  // namespace qm

#include "sys/read_full.h"

#include <cerrno>

#include "sys/kernel.h"

namespace sys {

ssize_t read_full(int fd, void* buffer, size_t count) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        const ssize_t n = kernel().read(fd, bytes + done, count - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

}  // namespace sys

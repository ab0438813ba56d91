// A descriptor of sys::Kernel that is closed when it goes out of scope.
// Closing keeps errno as it was, so a caller can still report the failure
// that made it give up.
#pragma once

#include <cerrno>
#include <utility>

#include "sys/kernel.h"

namespace sys {

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    ~unique_fd() { reset(); }
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    [[nodiscard]] int get() const { return fd_; }
    [[nodiscard]] bool valid() const { return fd_ >= 0; }
    [[nodiscard]] int release() { return std::exchange(fd_, -1); }

    // Closes now; returns close's result (0 when nothing was open).
    int reset() {
        if (fd_ < 0) return 0;
        const int saved = errno;
        const int result = kernel().close(std::exchange(fd_, -1));
        errno = saved;
        return result;
    }

private:
    int fd_ = -1;
};

}  // namespace sys

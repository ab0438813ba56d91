// ioctl requests that report their own failures on the console.
#pragma once

namespace qm {

// ioctl(fd, request, arg) with uniform error reporting: returns the
// request's result unchanged (-1 on failure) after printing a diagnosis on
// failure. name labels the messages, normally the device path.
[[nodiscard]] int ioctl_wrapper(const char* name, int fd, unsigned long request, void* arg);

}  // namespace qm

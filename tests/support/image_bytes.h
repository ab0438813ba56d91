// Byte ranges of large (sparse) image files, without reading them whole.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>

namespace test {

inline std::string read_bytes(const std::string& path, off_t offset, size_t count) {
    std::string bytes(count, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd >= 0 ? ::pread(fd, bytes.data(), count, offset) : -1;
    if (fd >= 0) ::close(fd);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
}

// Overwrites bytes at offset; the file keeps its size otherwise.
inline bool write_bytes(const std::string& path, off_t offset, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace test

// Byte ranges of large (sparse) image files, without reading them whole.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace test {

inline std::string read_bytes(const std::string& path, off_t offset, size_t count) {
    std::string bytes(count, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const ssize_t got = fd >= 0 ? ::pread(fd, bytes.data(), count, offset) : -1;
    if (fd >= 0) ::close(fd);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
}

// A digest of bytes [offset, offset + count): equal digests mean the range
// was left as it was.
inline size_t range_digest(const std::string& path, off_t offset, uint64_t count) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::string chunk(1 << 20, '\0');
    size_t digest = 0;
    for (uint64_t done = 0; done < count;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), count - done));
        const ssize_t got = ::pread(fd, chunk.data(), want, offset + static_cast<off_t>(done));
        if (got <= 0) break;
        digest = digest * 1000003 ^ std::hash<std::string_view>()(std::string_view(chunk.data(), static_cast<size_t>(got)));
        done += static_cast<uint64_t>(got);
    }
    ::close(fd);
    return digest;
}

// A digest of a whole sparse image from its data extents only: equal
// digests mean the image holds the same bytes. (An image whose zeros moved
// between data and holes reads as changed; the simulation stores written
// zeros as holes, so that never happens without a write.) Fast on a
// mostly empty image of gigabytes.
inline size_t image_digest(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::string chunk(1 << 20, '\0');
    size_t digest = 0;
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0;) {
        const off_t hole = ::lseek(fd, at, SEEK_HOLE);
        if (hole < 0) break;
        for (; at < hole;) {
            const size_t want = static_cast<size_t>(std::min<off_t>(static_cast<off_t>(chunk.size()), hole - at));
            const ssize_t got = ::pread(fd, chunk.data(), want, at);
            if (got <= 0) break;
            digest = digest * 1000003 ^ std::hash<off_t>()(at);
            digest = digest * 1000003 ^
                     std::hash<std::string_view>()(std::string_view(chunk.data(), static_cast<size_t>(got)));
            at += got;
        }
        at = ::lseek(fd, hole, SEEK_DATA);
    }
    ::close(fd);
    return digest;
}

// Overwrites bytes at offset; the file keeps its size otherwise.
inline bool write_bytes(const std::string& path, off_t offset, const std::string& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), offset) == static_cast<ssize_t>(bytes.size());
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace test

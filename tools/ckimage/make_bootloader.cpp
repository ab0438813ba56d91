#include "make_bootloader.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/ckimage.h"

namespace ckimage {

namespace {

int fail(const char* path, const char* what, int error_number) {
    qm::err("ckimage: %s: %s: %s\n", path, what, std::strerror(error_number));
    return 1;
}

// The whole file, or false with errno set.
bool read_whole(const char* path, std::vector<uint8_t>& bytes) {
    sys::unique_fd fd(sys::kernel().open(path, O_RDONLY, 0));
    if (!fd.valid()) return false;
    uint8_t piece[65536];
    for (;;) {
        const ssize_t n = sys::kernel().read(fd.get(), piece, sizeof piece);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        if (bytes.size() + static_cast<size_t>(n) > UINT32_MAX) {
            errno = EFBIG;
            return false;
        }
        bytes.insert(bytes.end(), piece, piece + n);
    }
}

// Writes bytes to a new file beside out and renames it over out.
int write_replacing(const char* out, const std::vector<uint8_t>& bytes) {
    const std::string temporary = std::string(out) + ".ckimage-" + std::to_string(::getpid());
    sys::unique_fd fd(sys::kernel().open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644));
    if (!fd.valid()) return fail(out, "cannot write", errno);
    const long written =
        qm::write_all(fd.get(), std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    int error_number = 0;
    if (written < 0) error_number = errno;
    else if (static_cast<size_t>(written) != bytes.size()) error_number = ENOSPC;
    else if (sys::kernel().fsync(fd.get()) != 0) error_number = errno;
    else if (sys::kernel().close(fd.release()) != 0) error_number = errno;
    else if (sys::kernel().rename(temporary.c_str(), out) != 0) error_number = errno;
    if (error_number != 0) {
        fd.reset();
        (void)sys::kernel().unlink(temporary.c_str());  // the failure above is the one to report
        return fail(out, "cannot write", error_number);
    }
    return 0;
}

}  // namespace

int make_bootloader(const char* in, const char* out, const char* name) {
    std::vector<uint8_t> image;
    if (!read_whole(in, image)) return fail(in, "cannot read", errno);
    if (image.size() < qm::bootloader_descriptor_end) {
        qm::err("ckimage: %s: too short for a boot-loader descriptor (%zu bytes, at least %zu)\n", in, image.size(),
                qm::bootloader_descriptor_end);
        return 1;
    }
    if (!qm::ckimage_seal_bootloader(image, name)) {
        qm::err("ckimage: %s: cannot seal\n", in);
        return 1;
    }
    if (write_replacing(out, image) != 0) return 1;
    const uint32_t crc = static_cast<uint32_t>(image[36]) | static_cast<uint32_t>(image[37]) << 8 |
                         static_cast<uint32_t>(image[38]) << 16 | static_cast<uint32_t>(image[39]) << 24;
    qm::out("%s: boot loader of %zu bytes, crc %#x\n", out, image.size(), crc);
    return 0;
}

}  // namespace ckimage

#include "storage/wrapper.h"

#include <sys/stat.h>

#include <cerrno>

#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

const char* type_word(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFBLK: return "blockdev";
        case S_IFCHR: return "chardev";
        case S_IFREG: return "file";
        case S_IFDIR: return "dir";
        default: return "unknown";
    }
}

}  // namespace

int ioctl_wrapper(const char* name, int fd, unsigned long request, void* arg) {
    auto& k = sys::kernel();
    const int result = k.ioctl(fd, request, arg);
    if (result != -1) return result;
    const int error_number = errno;
    if (error_number != ENOTTY) {
        report_errno(name, error_number);
        return -1;
    }
    err("ERROR:%s(%d):ioctl 0x%x failed.\n", name, fd, static_cast<unsigned>(request));
    struct stat status {};
    if (k.fstat(fd, &status) != 0) return -1;
    const auto rdev = static_cast<unsigned long long>(status.st_rdev);
    const auto major = static_cast<unsigned>((rdev >> 8) & 0xfffu);
    const auto minor = static_cast<unsigned>((rdev & 0xffu) | ((rdev >> 12) & 0xfff00u));
    err("INFO:%s(%d):type=%s major=%u minor=%u\n", name, fd, type_word(status.st_mode), major, minor);
    return -1;
}

}  // namespace qm

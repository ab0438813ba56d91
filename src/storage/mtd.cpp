#include "storage/mtd.h"

#include <fcntl.h>
#include <linux/ioctl.h>
#include <mtd/mtd-abi.h>

#include <cerrno>

#include "storage/wrapper.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

// The whole partition changes state in one request.
int set_lock_fd(int fd, const char* name, unsigned long request) {
    if (!check_fd_and_name(fd, name)) return 0;
    const int64_t size = mtd_getsize(fd, name);
    if (size < 0) return 0;
    erase_info_user range {};
    range.start = 0;
    range.length = static_cast<uint32_t>(size);
    return ioctl_wrapper(name, fd, request, &range) != -1 ? 1 : 0;
}

int set_lock(const char* path, unsigned long request) {
    sys::unique_fd fd(sys::kernel().open(path, O_RDWR));
    if (!fd.valid()) {
        report_errno(path, errno);
        return 0;
    }
    return set_lock_fd(fd.get(), path, request);
}

}  // namespace

int64_t mtd_getsize(int fd, const char* name) {
    mtd_info_user info {};
    if (ioctl_wrapper(name, fd, MEMGETINFO, &info) == -1) return -1;
    return info.size;
}

int mtd_exists(const char* path) {
    if (path == nullptr) {
        err("ERROR:filename invalid\n");
        return 0;
    }
    sys::unique_fd fd(sys::kernel().open(path, O_RDONLY));
    if (!fd.valid()) {
        report_errno(path, errno);
        return 0;
    }
    const int64_t size = mtd_getsize(fd.get(), path);
    if (size < 0) {
        err("ERROR:%s:mtd_getsize() returned error\n", path);
        return 0;
    }
    return size != 0 ? 1 : 0;
}

int check_fd_and_name(int fd, const char* name) {
    if (fd >= 0) return 1;
    err("ERROR:%s:invalid filedescriptor\n", name != nullptr ? name : "??");
    return 0;
}

int flash_unlock_fd(int fd, const char* name) { return set_lock_fd(fd, name, MEMUNLOCK); }
int flash_lock_fd(int fd, const char* name) { return set_lock_fd(fd, name, MEMLOCK); }
int flash_unlock(const char* path) { return set_lock(path, MEMUNLOCK); }
int flash_lock(const char* path) { return set_lock(path, MEMLOCK); }

}  // namespace qm

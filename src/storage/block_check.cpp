#include "storage/block_check.h"

#include <fcntl.h>

#include <cerrno>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

int check_block_device(const char* path) {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(path, O_RDONLY));
    char sector[512];
    const ssize_t got = fd.valid() ? k.read(fd.get(), sector, sizeof sector) : -1;
    if (got == static_cast<ssize_t>(sizeof sector)) return 0;
    // A short read sets no error number: errno would be a stale one.
    if (got >= 0)
        err("ERROR:%s:short read, %zd of %zu bytes\n", path, got, sizeof sector);
    else
        report_errno(path, errno);
    return -boot_error_unreadable_device;
}

int check_diagsfs_partition() { return check_block_device("/dev/mmcblk0p3"); }

}  // namespace qm

#include "update/remove_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

[[nodiscard]] bool exists(const char* path) { return sys::kernel().access(path, F_OK) == 0; }

// "PATH.failed", or "PATH.failed2" and on when a file of the owner's holds
// that name: a rename never replaces anything. False when none is free.
[[nodiscard]] bool failed_name(const char* path, char* name, size_t size) {
    for (int n = 1; n <= 9; ++n) {
        if (n == 1)
            std::snprintf(name, size, "%s.failed", path);
        else
            std::snprintf(name, size, "%s.failed%d", path, n);
        if (!exists(name) && errno == ENOENT) return true;
    }
    return false;
}

}  // namespace

int remove_file_ll(const char* path) {
    err("INFO:removing %s\n", path);
    if (sys::kernel().remove(path) != 0) {
        report_errno(path, errno);
        return 0;
    }
    sys::kernel().sync();
    return 1;
}

int remove_file(const char* path) {
    auto& k = sys::kernel();
    (void)remove_file_ll(path);  // reported; whether the file is gone is looked at next
    if (exists(path)) {
        err("ERROR:file %s was not deleted!\n", path);
        // A fresh mount may let the removal through; the file's presence,
        // looked at next, is what decides.
        (void)unmount_dosfs();
        (void)mount_dosfs();
        if (!remove_file_ll(path)) (void)k.unlink(path);  // judged by the look that follows
    }
    if (exists(path)) {
        err("ERROR:file %s was still not deleted, renaming!\n", path);
        char renamed[4096];
        if (!failed_name(path, renamed, sizeof renamed) || k.rename(path, renamed) != 0)
            (void)k.unlink(path);  // judged by the look that follows
    }
    if (exists(path)) {
        err("ERROR:file %s could not be deleted, giving up!\n", path);
        return 0;
    }
    return 1;
}

}  // namespace qm

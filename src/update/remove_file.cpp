#include "update/remove_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {
bool exists(const char* path) { return sys::kernel().access(path, F_OK) == 0; }
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
    remove_file_ll(path);
    if (exists(path)) {
        err("ERROR:file %s was not deleted!\n", path);
        unmount_dosfs();
        mount_dosfs();
        if (!remove_file_ll(path)) k.unlink(path);
    }
    if (exists(path)) {
        err("ERROR:file %s was still not deleted, renaming!\n", path);
        char renamed[4096];
        std::snprintf(renamed, sizeof renamed, "%s.failed", path);
        if (k.rename(path, renamed) != 0) k.unlink(path);
    }
    if (exists(path)) {
        err("ERROR:file %s could not be deleted, giving up!\n", path);
        return 0;
    }
    return 1;
}

}  // namespace qm

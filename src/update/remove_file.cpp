#include "update/remove_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {
[[nodiscard]] bool exists(const char* path) { return sys::kernel().access(path, F_OK) == 0; }
}  // namespace

int remove_file_ll(const char* path) {
    auto& k = sys::kernel();
    err("INFO:removing %s\n", path);
    // On FAT the removal of a name and the freeing of its clusters are two
    // writes, and the kernel writes them in the order of their places on
    // the card: the table first. A power cut between would leave a name
    // whose clusters the table calls free, which the next file written
    // takes too, and which the FAT driver finds when the name is read (the
    // whole store then turns read-only). Held open, the file keeps its
    // clusters until the first sync has put the name's removal on the card;
    // a cut before the second sync then only leaves lost clusters. O_PATH
    // only looks the name up, as the removal does (nothing is read); a file
    // that cannot be held is removed all the same.
    sys::unique_fd held(k.open(path, O_PATH | O_CLOEXEC));
    if (k.remove(path) != 0) {
        report_errno(path, errno);
        return 0;
    }
    k.sync();
    held.reset();
    k.sync();
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
        std::snprintf(renamed, sizeof renamed, "%s.failed", path);
        if (k.rename(path, renamed) != 0) (void)k.unlink(path);  // judged by the look that follows
    }
    if (exists(path)) {
        err("ERROR:file %s could not be deleted, giving up!\n", path);
        return 0;
    }
    return 1;
}

}  // namespace qm

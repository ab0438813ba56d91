#include "update/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/remove_flushed.h"

namespace qm {

int replace_file(const char* path, std::string_view text, const char* keep_as) {
    auto& k = sys::kernel();
    const std::string beside = std::string(path) + ".new";
    const auto failed = [&](const char* what) {
        report_errno(what, errno);
        (void)remove_flushed(beside.c_str(), true);  // ours; a leftover is removed by the next write
        return 0;
    };
    // A leftover of a cut goes first, its name before its clusters
    // (remove_flushed): truncated in place, a cut could leave its name over
    // clusters the FAT calls free.
    if (remove_flushed(beside.c_str(), true) != 0 && errno != ENOENT) return failed(beside.c_str());
    sys::unique_fd fd(k.open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (!fd.valid()) return failed(beside.c_str());
    if (write_all(fd.get(), text) != static_cast<long>(text.size()) || k.fsync(fd.get()) != 0)
        return failed(beside.c_str());
    if (k.close(fd.release()) != 0) return failed(beside.c_str());
    struct stat status {};
    const bool keeping = keep_as != nullptr && k.lstat(path, &status) == 0 && S_ISREG(status.st_mode);
    // The file the renames replace keeps its clusters until the names are
    // on the card, for the reason remove_flushed gives.
    sys::unique_fd replaced(k.open(keeping ? keep_as : path, O_PATH | O_CLOEXEC));
    if (keeping && k.rename(path, keep_as) != 0) return failed(keep_as);
    if (k.rename(beside.c_str(), path) != 0) return failed(path);
    // The renames live in the folder: flushed too, or a power cut could
    // still bring the old file back. On FAT the folder's flush writes the
    // names removed and added, but a name given a file's clusters by a
    // rename gets them with that file's flush: the folder first (a cut
    // then leaves a name that was replaced on its old clusters, still
    // held), then each renamed file.
    const std::string folder(path, std::string_view(path).rfind('/') + 1);
    sys::unique_fd dir(k.open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (!dir.valid() || k.fsync(dir.get()) != 0) {
        report_errno(folder.c_str(), errno);
        return 0;
    }
    for (const char* renamed : {path, keeping ? keep_as : nullptr}) {
        if (renamed == nullptr) continue;
        sys::unique_fd file(k.open(renamed, O_RDONLY));
        if (!file.valid() || k.fsync(file.get()) != 0) {
            report_errno(renamed, errno);
            return 0;
        }
    }
    return 1;
}

}  // namespace qm

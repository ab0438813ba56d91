#include "update/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

int replace_file(const char* path, std::string_view text, const char* keep_as) {
    auto& k = sys::kernel();
    const std::string beside = std::string(path) + ".new";
    const auto failed = [&](const char* what) {
        report_errno(what, errno);
        (void)k.unlink(beside.c_str());  // ours; a leftover is replaced by the next write
        return 0;
    };
    sys::unique_fd fd(k.open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (!fd.valid()) return failed(beside.c_str());
    if (write_all(fd.get(), text) != static_cast<long>(text.size()) || k.fsync(fd.get()) != 0)
        return failed(beside.c_str());
    if (k.close(fd.release()) != 0) return failed(beside.c_str());
    struct stat status {};
    if (keep_as != nullptr && k.lstat(path, &status) == 0 && S_ISREG(status.st_mode) && k.rename(path, keep_as) != 0)
        return failed(keep_as);
    if (k.rename(beside.c_str(), path) != 0) return failed(path);
    // The renames live in the folder: flushed too, or a power cut could
    // still bring the old file back.
    const std::string folder(path, std::string_view(path).rfind('/') + 1);
    sys::unique_fd dir(k.open(folder.c_str(), O_RDONLY | O_DIRECTORY));
    if (!dir.valid() || k.fsync(dir.get()) != 0) {
        report_errno(folder.c_str(), errno);
        return 0;
    }
    return 1;
}

}  // namespace qm

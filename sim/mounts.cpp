#include "sim/mounts.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/kernel.h"

namespace sim {

namespace {

// The file systems the simulated device can mount: a source (empty: any)
// and type give the directory of the device directory that holds them.
struct FileSystem {
    const char* fstype;
    const char* source;
    const char* host_dir;
};

constexpr FileSystem file_systems[] = {
    {"proc", "", "proc"},
    {"sysfs", "", "sys"},
};

}  // namespace

bool path_within(const std::string& path, const std::string& dir) {
    if (dir == "/") return true;
    return path.compare(0, dir.size(), dir) == 0 && (path.size() == dir.size() || path[dir.size()] == '/');
}

const Mount* Mounts::holding(const std::string& path) const {
    const Mount* best = nullptr;
    for (const auto& mount : mounts_)
        if (path_within(path, mount.target) && (best == nullptr || mount.target.size() > best->target.size()))
            best = &mount;
    return best;
}

bool Mounts::mounted_on(const std::string& target) const {
    return std::any_of(mounts_.begin(), mounts_.end(), [&](const Mount& m) { return m.target == target; });
}

int Mounts::mount(Kernel& kernel, const std::string& source, const std::string& target, const std::string& fstype) {
    const Resolved where = kernel.resolve(target);
    struct stat status {};
    if (where.kind != Resolved::Kind::host || ::stat(where.host_path.c_str(), &status) != 0) {
        errno = ENOENT;
        return -1;
    }
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    const auto fs = std::find_if(std::begin(file_systems), std::end(file_systems), [&](const FileSystem& f) {
        return fstype == f.fstype && (*f.source == '\0' || source == f.source);
    });
    if (fs == std::end(file_systems)) {
        errno = ENODEV;
        return -1;
    }
    if (mounted_on(where.path)) {
        errno = EBUSY;
        return -1;
    }
    mounts_.push_back({source, where.path, fstype, fs->host_dir});
    kernel.klog().log("mounted " + fstype + " " + source + " on " + where.path);
    return 0;
}

int Mounts::umount(Kernel& kernel, const std::string& target, int flags) {
    const Resolved where = kernel.resolve(target);
    const auto found = std::find_if(mounts_.begin(), mounts_.end(), [&](const Mount& m) { return m.target == where.path; });
    if (found == mounts_.end()) {
        errno = EINVAL;
        return -1;
    }
    if ((flags & MNT_DETACH) == 0 && kernel.has_open_file_within(where.path)) {
        errno = EBUSY;
        return -1;
    }
    kernel.klog().log("unmounted " + where.path);
    mounts_.erase(found);
    return 0;
}

}  // namespace sim

#include "sim/mounts.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "sim/filesystems.h"
#include "sim/kernel.h"

namespace sim {

namespace {

// The file systems the simulated device can mount: a type and a device
// (empty: any; a loop device counts as what it reads) give the directory of
// the device directory that holds the files. A probe, when present, checks
// that the device really holds the file system.
struct FileSystem {
    const char* fstype;
    const char* device;
    const char* host_dir;
    int (*probe)(Kernel& kernel, const std::string& source);
};

constexpr FileSystem file_systems[] = {
    {"proc", "", "proc", nullptr},
    {"sysfs", "", "sys", nullptr},
    {"vfat", "/dev/mmcblk0p4", "userstore", probe_fat},
    {"vfat", "/dev/mmcblk1p1", "card", probe_fat},
    {"ext3", "/dev/mmcblk0p1", "rootfs", probe_ext},
};

// The options ext3 and vfat accept in the data text (a trailing "=" takes
// any value); like Linux, the simulated kernel refuses any other.
constexpr const char* ext3_options[] = {"errors=remount-ro", "errors=continue", "errors=panic", "data=ordered",
                                        "data=journal", "data=writeback", "noatime", "barrier=", "commit="};
constexpr const char* vfat_options[] = {"errors=remount-ro", "errors=continue", "errors=panic", "utf8",
                                        "shortname=", "iocharset=", "codepage=", "uid=", "gid=", "umask=",
                                        "fmask=", "dmask=", "flush", "noatime"};

template <size_t N>
bool knows_all(const std::string& data, const char* const (&known)[N]) {
    size_t start = 0;
    while (start < data.size()) {
        size_t comma = data.find(',', start);
        if (comma == std::string::npos) comma = data.size();
        const std::string option = data.substr(start, comma - start);
        const bool listed = std::any_of(std::begin(known), std::end(known), [&](const char* k) {
            const std::string text(k);
            return text.back() == '=' ? option.compare(0, text.size(), text) == 0 : option == text;
        });
        if (!option.empty() && !listed) return false;
        start = comma + 1;
    }
    return true;
}

bool accepts_options(const std::string& fstype, const std::string& data) {
    if (fstype == "ext3") return knows_all(data, ext3_options);
    if (fstype == "vfat") return knows_all(data, vfat_options);
    return true;
}

const FileSystem* find_file_system(Kernel& kernel, const std::string& fstype, const std::string& source) {
    const std::string device = kernel.storage().loops.underlying(source);
    const auto fs = std::find_if(std::begin(file_systems), std::end(file_systems), [&](const FileSystem& f) {
        return fstype == f.fstype && (*f.device == '\0' || device == f.device);
    });
    return fs == std::end(file_systems) ? nullptr : fs;
}

}  // namespace

std::string file_system_dir(Kernel& kernel, const std::string& fstype, const std::string& device) {
    const FileSystem* fs = find_file_system(kernel, fstype, device);
    return fs != nullptr ? fs->host_dir : "";
}

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

bool Mounts::any_source(const std::function<bool(const std::string& source)>& matches) const {
    return std::any_of(mounts_.begin(), mounts_.end(), [&](const Mount& m) { return matches(m.source); });
}

int Mounts::mount(Kernel& kernel, const std::string& source, const std::string& target, const std::string& fstype,
                  unsigned long flags, const std::string& data) {
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
    const bool known_type = std::any_of(std::begin(file_systems), std::end(file_systems),
                                        [&](const FileSystem& f) { return fstype == f.fstype; });
    if (!known_type) {
        errno = ENODEV;
        return -1;
    }
    const FileSystem* fs = find_file_system(kernel, fstype, source);
    if (fs == nullptr) {
        // A device that holds none of the simulated file systems.
        struct stat node {};
        errno = kernel.stat(source.c_str(), &node) == 0 ? EINVAL : ENOENT;
        return -1;
    }
    if (fs->probe != nullptr) {
        if (const int error = fs->probe(kernel, source)) {
            errno = error;
            return -1;
        }
    }
    if (!accepts_options(fstype, data)) {
        kernel.klog().log(fstype + ": unrecognized mount option \"" + data + "\"");
        errno = EINVAL;
        return -1;
    }
    if (mounted_on(where.path)) {
        errno = EBUSY;
        return -1;
    }
    ::mkdir(kernel.device().host_path(fs->host_dir).c_str(), 0755);
    mounts_.push_back({source, where.path, fstype, fs->host_dir, flags, data});
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

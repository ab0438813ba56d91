#include "sim/room.h"

#include <linux/magic.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cerrno>

#include "sim/host_file.h"
#include "sim/kernel.h"

namespace sim {

namespace {

// The cluster size statfs reports for a limited file system.
constexpr long block = 4096;

// The file system directory that holds a program path, or "".
std::string host_dir_of(Kernel& kernel, const std::string& path) {
    const Mount* mount = kernel.mounts().holding(kernel.resolve(path).path);
    return mount != nullptr ? mount->host_dir : "";
}

}  // namespace

long long Room::free_bytes(const std::string& host_dir) {
    if (host_dir.empty()) return -1;
    const auto found = free_.find(host_dir);
    if (found != free_.end()) return found->second;
    const long limit = kernel_.device().setting_number(host_dir + "_free", -1);
    if (limit < 0) return -1;
    return free_[host_dir] = limit;
}

size_t Room::take(const std::string& host_dir, off_t position, off_t size, size_t count) {
    const long long free = free_bytes(host_dir);
    if (free < 0) return count;
    // Only what lies beyond the present end of the file needs room.
    const long long growth = std::max<long long>(0, static_cast<long long>(position) + count - size);
    const long long fits = growth <= free ? static_cast<long long>(count)
                                          : std::max<long long>(0, static_cast<long long>(count) - (growth - free));
    free_[host_dir] = std::max<long long>(0, free - growth);
    return static_cast<size_t>(fits);
}

void Room::give_back(const std::string& host_dir, off_t bytes) {
    if (free_bytes(host_dir) >= 0) free_[host_dir] += bytes;
}

size_t room_for_write(Kernel& kernel, OpenFile& f, size_t count) {
    if (dynamic_cast<HostFile*>(&f) == nullptr || count == 0) return count;
    const std::string dir = host_dir_of(kernel, f.path);
    struct stat status {};
    const off_t position = f.lseek(0, SEEK_CUR);
    if (dir.empty() || position < 0 || f.fstat(&status) != 0) return count;
    const size_t fits = kernel.state<Room>().take(dir, position, status.st_size, count);
    if (fits == 0) errno = ENOSPC;
    return fits;
}

void room_free_file(Kernel& kernel, const std::string& path) {
    const Resolved where = kernel.resolve(path);
    struct stat status {};
    if (where.kind != Resolved::Kind::host || ::stat(where.host_path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
        return;
    kernel.state<Room>().give_back(host_dir_of(kernel, path), status.st_size);
}

int Kernel::statfs(const char* path, struct statfs* buf) {
    const Resolved where = resolve(path);
    if (where.kind != Resolved::Kind::host) {
        errno = where.kind == Resolved::Kind::missing ? ENOENT : EPERM;
        return -1;
    }
    if (::statfs(where.host_path.c_str(), buf) != 0) return -1;
    const Mount* mount = mounts_.holding(where.path);
    if (mount == nullptr) return 0;
    buf->f_type = mount->fstype == "vfat" ? MSDOS_SUPER_MAGIC : EXT3_SUPER_MAGIC;
    const long long free = state<Room>().free_bytes(mount->host_dir);
    if (free >= 0) {
        buf->f_bsize = buf->f_frsize = block;
        buf->f_bfree = buf->f_bavail = static_cast<fsblkcnt_t>(free / block);
        buf->f_blocks = std::max<fsblkcnt_t>(buf->f_bfree, (1 << 30) / block);
    }
    return 0;
}

}  // namespace sim

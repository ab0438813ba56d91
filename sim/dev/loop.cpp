#include "sim/dev/loop.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "sim/host_file.h"
#include "sim/kernel.h"

namespace sim {

namespace {

constexpr unsigned loop_major = 7;
constexpr const char* loop_prefix = "/dev/loop";

// The unit of a loop device path, or -1.
int unit_of(const std::string& path) {
    if (path.compare(0, std::strlen(loop_prefix), loop_prefix) != 0) return -1;
    const std::string digits = path.substr(std::strlen(loop_prefix));
    if (digits.size() != 1 || digits[0] < '0' || digits[0] >= static_cast<char>('0' + LoopDevices::units)) return -1;
    return digits[0] - '0';
}

off_t size_of(OpenFile& file) {
    struct stat status {};
    if (file.fstat(&status) == 0 && S_ISREG(status.st_mode)) return status.st_size;
    uint64_t bytes = 0;
    return file.ioctl(BLKGETSIZE64, &bytes) == 0 ? static_cast<off_t>(bytes) : 0;
}

// A second, independent open of what a program descriptor refers to.
std::unique_ptr<OpenFile> reopen(Kernel& kernel, const OpenFile& source) {
    const Resolved where = kernel.resolve(source.path);
    const int flags = source.flags & (O_ACCMODE | O_SYNC);
    std::unique_ptr<OpenFile> file;
    if (where.kind == Resolved::Kind::host) {
        file = HostFile::open(where.host_path, flags, 0);
    } else if (where.kind == Resolved::Kind::device) {
        for (const auto& node : device_nodes(kernel))
            if (node.path == where.path) file = node.open(flags);
    } else {
        errno = EINVAL;
    }
    if (file) {
        file->path = where.path;
        file->flags = flags;
    }
    return file;
}

class LoopFile final : public OpenFile {
public:
    LoopFile(Kernel& kernel, unsigned unit) : kernel_(kernel), unit_(unit) {}

    ssize_t read(void* buf, size_t count) override {
        LoopBinding* binding = loops().bound(unit_);
        if (binding == nullptr) return 0;
        const size_t n = std::min(count, static_cast<size_t>(std::max<off_t>(0, size() - position_)));
        if (n == 0) return 0;
        if (binding->file->lseek(binding->info.lo_offset + position_, SEEK_SET) < 0) return -1;
        const ssize_t got = binding->file->read(buf, n);
        if (got > 0) position_ += got;
        return got;
    }

    ssize_t write(const void* buf, size_t count) override {
        LoopBinding* binding = loops().bound(unit_);
        const size_t n = std::min(count, static_cast<size_t>(std::max<off_t>(0, size() - position_)));
        if (binding == nullptr || (n == 0 && count > 0)) {
            errno = ENOSPC;
            return -1;
        }
        if (binding->file->lseek(binding->info.lo_offset + position_, SEEK_SET) < 0) return -1;
        const ssize_t put = binding->file->write(buf, n);
        if (put > 0) position_ += put;
        return put;
    }

    off_t lseek(off_t offset, int whence) override {
        const off_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? position_ : whence == SEEK_END ? size() : -1;
        if (base < 0 || base + offset < 0) {
            errno = EINVAL;
            return -1;
        }
        position_ = base + offset;
        return position_;
    }

    int ioctl(unsigned long request, void* arg) override {
        switch (request) {
            case LOOP_SET_FD: return set_fd(static_cast<int>(reinterpret_cast<intptr_t>(arg)));
            case LOOP_SET_STATUS: return set_status(*static_cast<const loop_info*>(arg));
            case LOOP_GET_STATUS: {
                const LoopBinding* binding = loops().bound(unit_);
                if (binding == nullptr) return fail(ENXIO);
                *static_cast<loop_info*>(arg) = binding->info;
                return 0;
            }
            case LOOP_CLR_FD: return clear();
            case BLKGETSIZE: *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(size() / 512); return 0;
            case BLKGETSIZE64: *static_cast<uint64_t*>(arg) = static_cast<uint64_t>(size()); return 0;
            default: return fail(ENOTTY);
        }
    }

    int fstat(struct stat* st) override {
        *st = {};
        st->st_mode = S_IFBLK | 0660;
        st->st_rdev = makedev(loop_major, unit_);
        st->st_nlink = 1;
        return 0;
    }

    int fsync() override {
        LoopBinding* binding = loops().bound(unit_);
        return binding != nullptr ? binding->file->fsync() : 0;
    }

private:
    static int fail(int error) {
        errno = error;
        return -1;
    }
    LoopDevices& loops() { return kernel_.storage().loops; }
    std::string name() const { return "loop" + std::to_string(unit_); }

    off_t size() {
        LoopBinding* binding = loops().bound(unit_);
        if (binding == nullptr) return 0;
        return std::max<off_t>(0, size_of(*binding->file) - binding->info.lo_offset);
    }

    int set_fd(int fd) {
        if (loops().bound(unit_) != nullptr) return fail(EBUSY);
        OpenFile* source = kernel_.open_file(fd);
        if (source == nullptr) return fail(EBADF);
        auto file = reopen(kernel_, *source);
        if (!file) return -1;
        const std::string backing = source->path;
        loops().attach(unit_, backing, std::move(file));
        kernel_.klog().log(name() + ": attached " + backing);
        return 0;
    }

    int set_status(const loop_info& info) {
        LoopBinding* binding = loops().bound(unit_);
        if (binding == nullptr) return fail(ENXIO);
        if (info.lo_offset < 0) return fail(EINVAL);
        binding->info.lo_offset = info.lo_offset;
        std::memcpy(binding->info.lo_name, info.lo_name, sizeof info.lo_name);
        binding->info.lo_name[sizeof binding->info.lo_name - 1] = '\0';
        kernel_.klog().log(name() + ": offset " + std::to_string(info.lo_offset) + " into " + binding->backing);
        return 0;
    }

    int clear() {
        if (loops().bound(unit_) == nullptr) return fail(ENXIO);
        const std::string self = "/dev/" + name();
        if (kernel_.mounts().any_source([&](const std::string& source) { return source == self; }))
            return fail(EBUSY);
        loops().detach(unit_);
        kernel_.klog().log(name() + ": detached");
        return 0;
    }

    Kernel& kernel_;
    unsigned unit_;
    off_t position_ = 0;
};

}  // namespace

LoopBinding* LoopDevices::bound(unsigned unit) {
    const auto found = bindings_.find(unit);
    return found == bindings_.end() ? nullptr : &found->second;
}

std::string LoopDevices::underlying(const std::string& path) const {
    const int unit = unit_of(path);
    if (unit < 0) return path;
    const auto found = bindings_.find(static_cast<unsigned>(unit));
    return found == bindings_.end() ? path : found->second.backing;
}

off_t LoopDevices::offset_of(const std::string& path) const {
    const int unit = unit_of(path);
    if (unit < 0) return 0;
    const auto found = bindings_.find(static_cast<unsigned>(unit));
    return found == bindings_.end() ? 0 : found->second.info.lo_offset;
}

bool LoopDevices::any_backing(const std::function<bool(const std::string& path)>& matches) const {
    return std::any_of(bindings_.begin(), bindings_.end(), [&](const auto& entry) { return matches(entry.second.backing); });
}

int LoopDevices::attach(unsigned unit, std::string backing, std::unique_ptr<OpenFile> file) {
    LoopBinding& binding = bindings_[unit];
    binding.backing = std::move(backing);
    binding.file = std::move(file);
    binding.info = {};
    binding.info.lo_number = static_cast<int>(unit);
    return 0;
}

void add_loop_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    for (unsigned unit = 0; unit < LoopDevices::units; ++unit)
        nodes.push_back({loop_prefix + std::to_string(unit), S_IFBLK, makedev(loop_major, unit),
                         [&kernel, unit](int) -> std::unique_ptr<OpenFile> {
                             return std::make_unique<LoopFile>(kernel, unit);
                         }});
}

}  // namespace sim

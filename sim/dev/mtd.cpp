#include "sim/dev/mtd.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <mtd/mtd-abi.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "sim/dev/block.h"
#include "sim/kernel.h"

namespace sim {

namespace {

constexpr unsigned mtd_char_major = 90;
constexpr unsigned mtd_block_major = 31;
constexpr unsigned partitions = 8;

int fail(int error) {
    errno = error;
    return -1;
}

// What both nodes of one partition share.
class NorPartition : public BlockWindow {
protected:
    NorPartition(Kernel& kernel, unsigned number, int fd, off_t size, dev_t rdev)
        : BlockWindow(fd, 0, size, Geometry{0, 0}, rdev), kernel_(kernel), number_(number) {}

    NorFlash& flash() { return kernel_.storage().nor; }
    // The bytes a write of count may store from the current position: 0
    // with ENOSPC at the end.
    size_t room(size_t count) const {
        return std::min(count, static_cast<size_t>(std::max<off_t>(0, length_ - position_)));
    }

    Kernel& kernel_;
    unsigned number_;
};

class MtdBlock final : public NorPartition {
public:
    MtdBlock(Kernel& kernel, unsigned number, int fd, off_t size)
        : NorPartition(kernel, number, fd, size, makedev(mtd_block_major, number)) {}

    ssize_t write(const void* buf, size_t count) override {
        if ((flags & O_ACCMODE) == O_RDONLY) return fail(EBADF);
        const size_t n = room(count);
        if (n == 0 && count > 0) return fail(ENOSPC);
        // The erase of a locked block fails, and the block layer turns the
        // failed request into EIO.
        if (flash().any_locked(number_, length_, position_, static_cast<off_t>(n))) return fail(EIO);
        const ssize_t put = ::pwrite(fd_, buf, n, position_);
        if (put > 0) position_ += put;
        return put;
    }

    int ioctl(unsigned long request, void* arg) override {
        switch (request) {
            case BLKGETSIZE: *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(length_ / 512); return 0;
            case BLKGETSIZE64: *static_cast<uint64_t*>(arg) = static_cast<uint64_t>(length_); return 0;
            default: return fail(ENOTTY);
        }
    }
};

class MtdChar final : public NorPartition {
public:
    MtdChar(Kernel& kernel, unsigned number, int fd, off_t size)
        : NorPartition(kernel, number, fd, size, makedev(mtd_char_major, number * 2)) {}

    ssize_t write(const void* buf, size_t count) override {
        if ((flags & O_ACCMODE) == O_RDONLY) return fail(EBADF);
        const size_t n = room(count);
        if (n == 0 && count > 0) return fail(ENOSPC);
        if (flash().any_locked(number_, length_, position_, static_cast<off_t>(n))) return fail(EROFS);
        std::vector<unsigned char> cells(n);
        const ssize_t got = ::pread(fd_, cells.data(), n, position_);
        if (got != static_cast<ssize_t>(n)) return fail(EIO);
        const auto* bytes = static_cast<const unsigned char*>(buf);
        for (size_t i = 0; i < n; ++i) cells[i] &= bytes[i];
        const ssize_t put = ::pwrite(fd_, cells.data(), n, position_);
        if (put > 0) position_ += put;
        return put;
    }

    int ioctl(unsigned long request, void* arg) override {
        switch (request) {
            case MEMGETINFO: {
                mtd_info_user info{};
                info.type = MTD_NORFLASH;
                info.flags = MTD_CAP_NORFLASH;
                info.size = static_cast<uint32_t>(length_);
                info.erasesize = static_cast<uint32_t>(NorFlash::erase_size);
                info.writesize = 1;
                *static_cast<mtd_info_user*>(arg) = info;
                return 0;
            }
            case MEMLOCK:
            case MEMUNLOCK: {
                const auto* range = static_cast<const erase_info_user*>(arg);
                if ((flags & O_ACCMODE) == O_RDONLY) return fail(EBADF);
                const int result =
                    flash().set_locked(number_, length_, range->start, range->length, request == MEMLOCK);
                // The log lets a test see when each partition was open to writing.
                if (result == 0)
                    kernel_.klog().log("mtd" + std::to_string(number_) + (request == MEMLOCK ? ": locked" : ": unlocked"));
                return result;
            }
            case MEMERASE: return erase(*static_cast<const erase_info_user*>(arg));
            default: return fail(ENOTTY);
        }
    }

    int fstat(struct stat* st) override {
        BlockWindow::fstat(st);
        st->st_mode = S_IFCHR | 0660;
        return 0;
    }

private:
    int erase(const erase_info_user& range) {
        if ((flags & O_ACCMODE) == O_RDONLY) return fail(EBADF);
        const off_t start = range.start;
        const off_t length = range.length;
        if (start % NorFlash::erase_size != 0 || length % NorFlash::erase_size != 0 || start + length > length_)
            return fail(EINVAL);
        if (flash().any_locked(number_, length_, start, length)) return fail(EIO);
        const std::vector<unsigned char> erased(static_cast<size_t>(length), 0xFF);
        return ::pwrite(fd_, erased.data(), erased.size(), start) == length ? 0 : -1;
    }
};

}  // namespace

std::vector<bool>& NorFlash::blocks(unsigned number, off_t size) {
    const auto count = static_cast<size_t>((size + erase_size - 1) / erase_size);
    auto found = locked_.find(number);
    if (found == locked_.end() || found->second.size() != count)
        found = locked_.insert_or_assign(number, std::vector<bool>(count, true)).first;
    return found->second;
}

bool NorFlash::any_locked(unsigned number, off_t size, off_t from, off_t length) {
    if (length <= 0) return false;
    const std::vector<bool>& bits = blocks(number, size);
    const auto first = static_cast<size_t>(from / erase_size);
    const auto last = static_cast<size_t>((from + length - 1) / erase_size);
    for (size_t block = first; block <= last && block < bits.size(); ++block)
        if (bits[block]) return true;
    return false;
}

int NorFlash::set_locked(unsigned number, off_t size, off_t start, off_t length, bool locked) {
    if (start < 0 || length < 0 || start + length > size) return fail(EINVAL);
    std::vector<bool>& bits = blocks(number, size);
    if (length == 0) return 0;
    const auto first = static_cast<size_t>(start / erase_size);
    const auto last = static_cast<size_t>((start + length - 1) / erase_size);
    for (size_t block = first; block <= last && block < bits.size(); ++block) bits[block] = locked;
    return 0;
}

void add_mtd_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    for (unsigned number = 0; number < partitions; ++number) {
        const std::string image = kernel.device().host_path("mtd" + std::to_string(number) + ".img");
        struct stat status {};
        if (::stat(image.c_str(), &status) != 0) continue;
        const off_t size = status.st_size;
        const auto open_with = [&kernel, image, number, size](bool block) {
            return [&kernel, image, number, size, block](int flags) -> std::unique_ptr<OpenFile> {
                const int access = flags & O_ACCMODE;
                const int fd = ::open(image.c_str(), (access == O_RDONLY ? O_RDONLY : O_RDWR) | O_CLOEXEC);
                if (fd < 0) return nullptr;
                if (block) return std::make_unique<MtdBlock>(kernel, number, fd, size);
                return std::make_unique<MtdChar>(kernel, number, fd, size);
            };
        };
        const std::string n = std::to_string(number);
        nodes.push_back({"/dev/mtd/" + n, S_IFCHR, makedev(mtd_char_major, number * 2), open_with(false)});
        nodes.push_back({"/dev/mtdblock/" + n, S_IFBLK, makedev(mtd_block_major, number), open_with(true)});
    }
}

}  // namespace sim

#include "sim/dev/block.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

namespace sim {

int BlockWindow::open_image(const std::string& image, int flags) {
    const int access = flags & O_ACCMODE;
    return ::open(image.c_str(), (access == O_RDONLY ? O_RDONLY : O_RDWR) | O_CLOEXEC);
}

std::unique_ptr<BlockWindow> BlockWindow::open(const std::string& image, int flags, off_t offset, off_t length,
                                               Geometry geometry, dev_t rdev) {
    const int fd = open_image(image, flags);
    if (fd < 0) return nullptr;
    return std::unique_ptr<BlockWindow>(new BlockWindow(fd, offset, length, geometry, rdev));
}

BlockWindow::~BlockWindow() { ::close(fd_); }

// Compared as off_t: on a 32-bit program what is left of a disk of 4 GiB
// or more does not fit a size_t, and cut to one it could read as nothing.
size_t BlockWindow::bytes_left(size_t count) const {
    const off_t left = std::max<off_t>(0, length_ - position_);
    return static_cast<size_t>(std::min<off_t>(static_cast<off_t>(count), left));
}

ssize_t BlockWindow::read(void* buf, size_t count) {
    const size_t n = bytes_left(count);
    if (n == 0) return 0;
    const ssize_t got = ::pread(fd_, buf, n, offset_ + position_);
    if (got > 0) position_ += got;
    return got;
}

ssize_t BlockWindow::write(const void* buf, size_t count) {
    if ((flags & O_ACCMODE) == O_RDONLY) {
        errno = EBADF;
        return -1;
    }
    const size_t n = bytes_left(count);
    if (n == 0 && count > 0) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t put = store(buf, n, offset_ + position_);
    if (put > 0) position_ += put;
    return put;
}

ssize_t BlockWindow::store(const void* buf, size_t count, off_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(buf);
    const bool zeros = count >= 4096 && std::all_of(bytes, bytes + count, [](unsigned char b) { return b == 0; });
    if (zeros && ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, static_cast<off_t>(count)) == 0)
        return static_cast<ssize_t>(count);
    return ::pwrite(fd_, buf, count, offset);
}

off_t BlockWindow::lseek(off_t offset, int whence) {
    off_t base = 0;
    switch (whence) {
        case SEEK_SET: base = 0; break;
        case SEEK_CUR: base = position_; break;
        case SEEK_END: base = length_; break;
        default: errno = EINVAL; return -1;
    }
    if (base + offset < 0) {
        errno = EINVAL;
        return -1;
    }
    position_ = base + offset;
    return position_;
}

int BlockWindow::ioctl(unsigned long request, void* arg) {
    switch (request) {
        case BLKGETSIZE:
            // The sector count must fit an unsigned long, as in Linux: a
            // 32-bit program cannot learn the size of a disk of 2 TiB or more
            // this way.
            if (static_cast<uint64_t>(length_ / 512) > std::numeric_limits<unsigned long>::max()) {
                errno = EFBIG;
                return -1;
            }
            *static_cast<unsigned long*>(arg) = static_cast<unsigned long>(length_ / 512);
            return 0;
        case BLKGETSIZE64: *static_cast<uint64_t*>(arg) = static_cast<uint64_t>(length_); return 0;
        case BLKSSZGET: *static_cast<int*>(arg) = 512; return 0;
        case HDIO_GETGEO: {
            auto* geo = static_cast<hd_geometry*>(arg);
            geo->heads = static_cast<unsigned char>(geometry_.heads);
            geo->sectors = static_cast<unsigned char>(geometry_.sectors);
            const off_t per_cylinder = static_cast<off_t>(geometry_.heads) * geometry_.sectors * 512;
            geo->cylinders = static_cast<unsigned short>(per_cylinder > 0 ? length_ / per_cylinder : 0);
            geo->start = static_cast<unsigned long>(offset_ / 512);
            return 0;
        }
        default: errno = ENOTTY; return -1;
    }
}

int BlockWindow::fstat(struct stat* st) {
    *st = {};
    st->st_mode = S_IFBLK | 0660;
    st->st_rdev = rdev_;
    st->st_nlink = 1;
    st->st_blksize = 4096;
    return 0;
}

int BlockWindow::fsync() { return ::fsync(fd_); }

}  // namespace sim

// A block device of the simulated kernel: a window of a host image file.
// Reads stop at the window's end; writes beyond it fail with ENOSPC, as a
// Linux block device answers a write at its end. Zeros written are stored
// as holes, so erasing a large image keeps it sparse.
#pragma once

#include <memory>

#include "sim/open_file.h"

namespace sim {

struct Geometry {
    unsigned heads;
    unsigned sectors;  // per track
};

class BlockWindow : public OpenFile {
public:
    // Opens image (read-only unless flags ask for writing) and shows the
    // bytes [offset, offset + length); nullptr with errno set.
    static std::unique_ptr<BlockWindow> open(const std::string& image, int flags, off_t offset, off_t length,
                                             Geometry geometry, dev_t rdev);
    ~BlockWindow() override;
    BlockWindow(const BlockWindow&) = delete;
    BlockWindow& operator=(const BlockWindow&) = delete;

    ssize_t read(void* buf, size_t count) override;
    ssize_t write(const void* buf, size_t count) override;
    off_t lseek(off_t offset, int whence) override;
    int ioctl(unsigned long request, void* arg) override;
    int fstat(struct stat* st) override;
    int fsync() override;

protected:
    // The host descriptor of image, read-only unless flags ask for writing;
    // -1 with errno set.
    static int open_image(const std::string& image, int flags);
    // Stores count bytes at offset of the image.
    ssize_t store(const void* buf, size_t count, off_t offset);
    // The most of count bytes that the window holds from its position on.
    size_t bytes_left(size_t count) const;

    BlockWindow(int fd, off_t offset, off_t length, Geometry geometry, dev_t rdev)
        : fd_(fd), offset_(offset), length_(length), geometry_(geometry), rdev_(rdev) {}

    int fd_;
    off_t offset_;
    off_t length_;
    off_t position_ = 0;
    Geometry geometry_;
    dev_t rdev_;
};

}  // namespace sim

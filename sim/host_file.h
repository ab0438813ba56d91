// A regular file or directory of the device directory, opened for the
// program: reads, writes and seeks pass through to the host file.
#pragma once

#include <memory>

#include "sim/open_file.h"

namespace sim {

class HostFile final : public OpenFile {
public:
    // Opens host_path with the program's flags; nullptr with errno set.
    static std::unique_ptr<HostFile> open(const std::string& host_path, int flags, mode_t mode);
    ~HostFile() override;
    HostFile(const HostFile&) = delete;
    HostFile& operator=(const HostFile&) = delete;

    ssize_t read(void* buf, size_t count) override;
    ssize_t write(const void* buf, size_t count) override;
    off_t lseek(off_t offset, int whence) override;
    int fstat(struct stat* st) override;
    int fsync() override;

    int host_fd() const { return fd_; }

private:
    explicit HostFile(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace sim

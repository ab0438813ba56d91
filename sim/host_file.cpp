#include "sim/host_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace sim {

std::unique_ptr<HostFile> HostFile::open(const std::string& host_path, int flags, mode_t mode) {
    const int fd = ::open(host_path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0) return nullptr;
    return std::unique_ptr<HostFile>(new HostFile(fd));
}

HostFile::~HostFile() { ::close(fd_); }

ssize_t HostFile::read(void* buf, size_t count) { return ::read(fd_, buf, count); }
ssize_t HostFile::write(const void* buf, size_t count) { return ::write(fd_, buf, count); }
off_t HostFile::lseek(off_t offset, int whence) { return ::lseek(fd_, offset, whence); }
int HostFile::fstat(struct stat* st) { return ::fstat(fd_, st); }
int HostFile::fsync() { return ::fsync(fd_); }

}  // namespace sim

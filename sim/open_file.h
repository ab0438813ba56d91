// One open file description of the simulated kernel. Each kind of device
// is a small subclass; the defaults answer as Linux does for a file that
// does not support the operation.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <string>


namespace sim {

class OpenFile {
public:
    virtual ~OpenFile() = default;

    virtual ssize_t read(void* buf, size_t count) = 0;
    virtual ssize_t write(const void* buf, size_t count) = 0;
    virtual off_t lseek(off_t offset, int whence) {
        (void)offset, (void)whence;
        errno = ESPIPE;
        return -1;
    }
    virtual int ioctl(unsigned long request, void* arg) {
        (void)request, (void)arg;
        errno = ENOTTY;
        return -1;
    }
    virtual int fstat(struct stat* st) = 0;
    virtual void* mmap(size_t length, int prot, int map_flags, off_t offset) {
        (void)length, (void)prot, (void)map_flags, (void)offset;
        errno = ENODEV;
        return reinterpret_cast<void*>(-1);
    }
    virtual int fsync() { return 0; }

    // Whether select finds input now. Files and block devices always have
    // it; devices fed by the script get it when the clock reaches an event.
    virtual bool input_ready() { return true; }

    std::string path;  // as the program named it
    int flags = 0;
    bool close_on_exec = false;  // O_CLOEXEC or FD_CLOEXEC: not passed on by an exec
    off_t furthest_read = 0;     // the furthest position a read reached
};

}  // namespace sim

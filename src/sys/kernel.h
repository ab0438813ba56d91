// The one seam between the program and the operating system.
//
// Every request the device program makes of Linux goes through sys::Kernel.
// The calls keep the shape, the request numbers and the records of the real
// system calls, and report failure the same way: -1 (or nullptr) with errno
// set. sys::LinuxKernel passes them straight through; sim::Kernel answers
// them from a simulated device so the same code runs on a workstation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/utsname.h>

namespace sys {

// One open directory stream. next() returns 1 with an entry name, 0 at the
// end and -1 on error (errno set). Entries come in the order the directory
// delivers them, "." and ".." included.
class Directory {
public:
    virtual ~Directory() = default;
    [[nodiscard]] virtual int next(std::string& name) = 0;
};

class Kernel {
public:
    virtual ~Kernel() = default;

    // Files and descriptors.
    [[nodiscard]] virtual int open(const char* path, int flags, mode_t mode = 0) = 0;
    [[nodiscard]] virtual ssize_t read(int fd, void* buf, size_t count) = 0;
    [[nodiscard]] virtual ssize_t write(int fd, const void* buf, size_t count) = 0;
    [[nodiscard]] virtual off_t lseek(int fd, off_t offset, int whence) = 0;
    virtual int close(int fd) = 0;
    [[nodiscard]] virtual int fsync(int fd) = 0;
    [[nodiscard]] virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    [[nodiscard]] virtual int fcntl_setfd(int fd, int fd_flags) = 0;  // F_SETFD, e.g. FD_CLOEXEC

    // File system.
    [[nodiscard]] virtual int stat(const char* path, struct stat* st) = 0;
    [[nodiscard]] virtual int lstat(const char* path, struct stat* st) = 0;
    [[nodiscard]] virtual int fstat(int fd, struct stat* st) = 0;
    [[nodiscard]] virtual std::unique_ptr<Directory> opendir(const char* path) = 0;
    [[nodiscard]] virtual int unlink(const char* path) = 0;
    [[nodiscard]] virtual int rename(const char* from, const char* to) = 0;
    [[nodiscard]] virtual int remove(const char* path) = 0;
    [[nodiscard]] virtual int mkdir(const char* path, mode_t mode) = 0;
    [[nodiscard]] virtual int rmdir(const char* path) = 0;
    [[nodiscard]] virtual int access(const char* path, int mode) = 0;
    [[nodiscard]] virtual ssize_t readlink(const char* path, char* buf, size_t size) = 0;
    [[nodiscard]] virtual int mount(const char* source, const char* target, const char* fstype,
                      unsigned long flags, const void* data) = 0;
    [[nodiscard]] virtual int umount2(const char* target, int flags) = 0;
    virtual void sync() = 0;
    // The size and free space of the file system that holds path.
    [[nodiscard]] virtual int statfs(const char* path, struct statfs* buf) = 0;

    // Memory mapping of device memory (the framebuffer).
    [[nodiscard]] virtual void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) = 0;
    [[nodiscard]] virtual int munmap(void* addr, size_t length) = 0;

    // Kernel services.
    [[nodiscard]] virtual int init_module(const void* image, unsigned long length, const char* params) = 0;
    [[nodiscard]] virtual int delete_module(const char* name, unsigned int flags) = 0;
    virtual int reboot(int cmd) = 0;
    [[nodiscard]] virtual int klogctl(int type, char* buf, int length) = 0;
    [[nodiscard]] virtual int uname(struct utsname* buf) = 0;

    // Waiting and time. select() may change the sets and the time-out as
    // Linux does; alarm() returns the seconds left on the previous alarm.
    [[nodiscard]] virtual int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                       struct timeval* timeout) = 0;
    virtual unsigned int alarm(unsigned int seconds) = 0;
    [[nodiscard]] virtual int sigaction(int signum, const struct sigaction* act, struct sigaction* old) = 0;
    [[nodiscard]] virtual time_t time(time_t* out) = 0;
    [[nodiscard]] virtual int gettimeofday(struct timeval* tv) = 0;
    virtual unsigned int sleep(unsigned int seconds) = 0;
    virtual int usleep(useconds_t usec) = 0;

    // Processes. execv() returns only on failure; system() returns the wait
    // status as the C library does; exit() ends the process.
    virtual int execv(const char* path, char* const argv[]) = 0;
    [[nodiscard]] virtual int system(const char* command) = 0;
    [[noreturn]] virtual void exit(int status) = 0;
};

// The kernel the program runs on. install() is called once at start-up by
// the program's entry point (or by a test); kernel() must not be called
// before that.
Kernel& kernel();
void install(Kernel& k);

// Ends the process through the installed kernel (never returns).
[[noreturn]] void exit_process(int status);

}  // namespace sys

// sys::Kernel on the running Linux kernel: one-line pass-throughs.
#pragma once

#include "sys/kernel.h"

namespace sys {

class LinuxKernel final : public Kernel {
public:
    int open(const char* path, int flags, mode_t mode) override;
    ssize_t read(int fd, void* buf, size_t count) override;
    ssize_t write(int fd, const void* buf, size_t count) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int close(int fd) override;
    int fsync(int fd) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    int fcntl_setfd(int fd, int fd_flags) override;

    int stat(const char* path, struct stat* st) override;
    int lstat(const char* path, struct stat* st) override;
    int fstat(int fd, struct stat* st) override;
    std::unique_ptr<Directory> opendir(const char* path) override;
    int unlink(const char* path) override;
    int rename(const char* from, const char* to) override;
    int remove(const char* path) override;
    int mkdir(const char* path, mode_t mode) override;
    int rmdir(const char* path) override;
    int access(const char* path, int mode) override;
    ssize_t readlink(const char* path, char* buf, size_t size) override;
    int mount(const char* source, const char* target, const char* fstype, unsigned long flags,
              const void* data) override;
    int umount2(const char* target, int flags) override;
    void sync() override;

    void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* addr, size_t length) override;

    int init_module(const void* image, unsigned long length, const char* params) override;
    int delete_module(const char* name, unsigned int flags) override;
    int reboot(int cmd) override;
    int klogctl(int type, char* buf, int length) override;
    int uname(struct utsname* buf) override;

    int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               struct timeval* timeout) override;
    unsigned int alarm(unsigned int seconds) override;
    int sigaction(int signum, const struct sigaction* act, struct sigaction* old) override;
    time_t time(time_t* out) override;
    int gettimeofday(struct timeval* tv) override;
    unsigned int sleep(unsigned int seconds) override;
    int usleep(useconds_t usec) override;

    int execv(const char* path, char* const argv[]) override;
    int system(const char* command) override;
    [[noreturn]] void exit(int status) override;
};

}  // namespace sys

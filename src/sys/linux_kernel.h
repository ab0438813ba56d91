// sys::Kernel on the running Linux kernel: one-line pass-throughs. Host
// tools may derive from it to change what one call does.
#pragma once

#include "sys/kernel.h"

namespace sys {

class LinuxKernel : public Kernel {
public:
    [[nodiscard]] int open(const char* path, int flags, mode_t mode) override;
    [[nodiscard]] ssize_t read(int fd, void* buf, size_t count) override;
    [[nodiscard]] ssize_t write(int fd, const void* buf, size_t count) override;
    [[nodiscard]] off_t lseek(int fd, off_t offset, int whence) override;
    int close(int fd) override;
    [[nodiscard]] int fsync(int fd) override;
    [[nodiscard]] int ioctl(int fd, unsigned long request, void* arg) override;
    [[nodiscard]] int fcntl_setfd(int fd, int fd_flags) override;

    [[nodiscard]] int stat(const char* path, struct stat* st) override;
    [[nodiscard]] int lstat(const char* path, struct stat* st) override;
    [[nodiscard]] int fstat(int fd, struct stat* st) override;
    [[nodiscard]] std::unique_ptr<Directory> opendir(const char* path) override;
    [[nodiscard]] int unlink(const char* path) override;
    [[nodiscard]] int rename(const char* from, const char* to) override;
    [[nodiscard]] int remove(const char* path) override;
    [[nodiscard]] int mkdir(const char* path, mode_t mode) override;
    [[nodiscard]] int rmdir(const char* path) override;
    [[nodiscard]] int access(const char* path, int mode) override;
    [[nodiscard]] ssize_t readlink(const char* path, char* buf, size_t size) override;
    [[nodiscard]] int mount(const char* source, const char* target, const char* fstype, unsigned long flags,
              const void* data) override;
    [[nodiscard]] int umount2(const char* target, int flags) override;
    void sync() override;
    [[nodiscard]] int statfs(const char* path, struct statfs* buf) override;

    [[nodiscard]] void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) override;
    [[nodiscard]] int munmap(void* addr, size_t length) override;

    [[nodiscard]] int init_module(const void* image, unsigned long length, const char* params) override;
    [[nodiscard]] int delete_module(const char* name, unsigned int flags) override;
    int reboot(int cmd) override;
    [[nodiscard]] int klogctl(int type, char* buf, int length) override;
    [[nodiscard]] int uname(struct utsname* buf) override;

    [[nodiscard]] int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               struct timeval* timeout) override;
    unsigned int alarm(unsigned int seconds) override;
    [[nodiscard]] int sigaction(int signum, const struct sigaction* act, struct sigaction* old) override;
    [[nodiscard]] time_t time(time_t* out) override;
    [[nodiscard]] int gettimeofday(struct timeval* tv) override;
    unsigned int sleep(unsigned int seconds) override;
    int usleep(useconds_t usec) override;

    int execv(const char* path, char* const argv[]) override;
    [[nodiscard]] int system(const char* command) override;
    [[noreturn]] void exit(int status) override;
};

}  // namespace sys

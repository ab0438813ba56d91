// A kernel with a console and nothing else, for tests of pure logic (parsers,
// rules, arithmetic) that only look at what the program prints. It costs
// nothing to make, where a simulated device lays out a whole device
// directory. Every other request fails with ENOSYS, so a test that needs
// more than the console says so at once; such a test takes a SimDevice.
#pragma once

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>

#include "boot/process_state.h"
#include "sys/kernel.h"

namespace test {

class ConsoleKernel : public sys::Kernel {
public:
    ConsoleKernel() {
        sys::install(*this);
        qm::process_state_reset();
    }

    // Everything the program wrote on the console (stdout and stderr).
    const std::string& console() const { return console_; }
    std::string take_console() {
        std::string text;
        text.swap(console_);
        return text;
    }

    ssize_t write(int fd, const void* buf, size_t count) override {
        if (fd != 1 && fd != 2) return fail();
        console_.append(static_cast<const char*>(buf), count);
        return static_cast<ssize_t>(count);
    }
    // No alarm ever expires: nothing here waits.
    unsigned int alarm(unsigned int) override { return 0; }
    void sync() override {}
    int statfs(const char*, struct statfs*) override { return fail(); }

    int open(const char*, int, mode_t) override { return fail(); }
    ssize_t read(int, void*, size_t) override { return fail(); }
    off_t lseek(int, off_t, int) override { return fail(); }
    int close(int) override { return fail(); }
    int fsync(int) override { return fail(); }
    int ioctl(int, unsigned long, void*) override { return fail(); }
    int fcntl_setfd(int, int) override { return fail(); }
    int stat(const char*, struct stat*) override { return fail(); }
    int lstat(const char*, struct stat*) override { return fail(); }
    int fstat(int, struct stat*) override { return fail(); }
    std::unique_ptr<sys::Directory> opendir(const char*) override {
        errno = ENOSYS;
        return nullptr;
    }
    int unlink(const char*) override { return fail(); }
    int rename(const char*, const char*) override { return fail(); }
    int remove(const char*) override { return fail(); }
    int mkdir(const char*, mode_t) override { return fail(); }
    int rmdir(const char*) override { return fail(); }
    int access(const char*, int) override { return fail(); }
    ssize_t readlink(const char*, char*, size_t) override { return fail(); }
    int mount(const char*, const char*, const char*, unsigned long, const void*) override { return fail(); }
    int umount2(const char*, int) override { return fail(); }
    void* mmap(void*, size_t, int, int, int, off_t) override {
        errno = ENOSYS;
        return reinterpret_cast<void*>(-1);
    }
    int munmap(void*, size_t) override { return fail(); }
    int init_module(const void*, unsigned long, const char*) override { return fail(); }
    int delete_module(const char*, unsigned int) override { return fail(); }
    int reboot(int) override { return fail(); }
    int klogctl(int, char*, int) override { return fail(); }
    int uname(struct utsname*) override { return fail(); }
    int select(int, fd_set*, fd_set*, fd_set*, struct timeval*) override { return fail(); }
    int sigaction(int, const struct sigaction*, struct sigaction*) override { return fail(); }
    time_t time(time_t*) override { return fail(); }
    int gettimeofday(struct timeval*) override { return fail(); }
    unsigned int sleep(unsigned int) override { return 0; }
    int usleep(useconds_t) override { return 0; }
    int execv(const char*, char* const[]) override { return fail(); }
    int system(const char*) override { return fail(); }
    [[noreturn]] void exit(int status) override {
        throw std::runtime_error("the program ended with status " + std::to_string(status));
    }

private:
    static int fail() {
        errno = ENOSYS;
        return -1;
    }

    std::string console_;
};

}  // namespace test

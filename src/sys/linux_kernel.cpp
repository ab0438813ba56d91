#include "sys/linux_kernel.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace sys {

namespace {

class LinuxDirectory final : public Directory {
public:
    explicit LinuxDirectory(DIR* dir) : dir_(dir) {}
    ~LinuxDirectory() override { ::closedir(dir_); }
    LinuxDirectory(const LinuxDirectory&) = delete;
    LinuxDirectory& operator=(const LinuxDirectory&) = delete;

    int next(std::string& name) override {
        errno = 0;
        const dirent* entry = ::readdir(dir_);
        if (entry == nullptr) return errno == 0 ? 0 : -1;
        name = entry->d_name;
        return 1;
    }

private:
    DIR* dir_;
};

}  // namespace

int LinuxKernel::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t LinuxKernel::read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
ssize_t LinuxKernel::write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
off_t LinuxKernel::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }
int LinuxKernel::close(int fd) { return ::close(fd); }
int LinuxKernel::fsync(int fd) { return ::fsync(fd); }
int LinuxKernel::ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
int LinuxKernel::fcntl_setfd(int fd, int fd_flags) { return ::fcntl(fd, F_SETFD, fd_flags); }

int LinuxKernel::stat(const char* path, struct stat* st) { return ::stat(path, st); }
int LinuxKernel::lstat(const char* path, struct stat* st) { return ::lstat(path, st); }
int LinuxKernel::fstat(int fd, struct stat* st) { return ::fstat(fd, st); }

std::unique_ptr<Directory> LinuxKernel::opendir(const char* path) {
    DIR* dir = ::opendir(path);
    if (dir == nullptr) return nullptr;
    return std::make_unique<LinuxDirectory>(dir);
}

int LinuxKernel::unlink(const char* path) { return ::unlink(path); }
int LinuxKernel::rename(const char* from, const char* to) { return ::rename(from, to); }
int LinuxKernel::remove(const char* path) { return ::remove(path); }
int LinuxKernel::mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int LinuxKernel::rmdir(const char* path) { return ::rmdir(path); }
int LinuxKernel::access(const char* path, int mode) { return ::access(path, mode); }
ssize_t LinuxKernel::readlink(const char* path, char* buf, size_t size) {
    return ::readlink(path, buf, size);
}
int LinuxKernel::mount(const char* source, const char* target, const char* fstype,
                       unsigned long flags, const void* data) {
    return ::mount(source, target, fstype, flags, data);
}
int LinuxKernel::umount2(const char* target, int flags) { return ::umount2(target, flags); }
void LinuxKernel::sync() { ::sync(); }
int LinuxKernel::statfs(const char* path, struct statfs* buf) { return ::statfs(path, buf); }

void* LinuxKernel::mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
    return ::mmap(addr, length, prot, flags, fd, offset);
}
int LinuxKernel::munmap(void* addr, size_t length) { return ::munmap(addr, length); }

int LinuxKernel::init_module(const void* image, unsigned long length, const char* params) {
    return static_cast<int>(::syscall(SYS_init_module, image, length, params));
}
int LinuxKernel::delete_module(const char* name, unsigned int flags) {
    return static_cast<int>(::syscall(SYS_delete_module, name, flags));
}
int LinuxKernel::reboot(int cmd) { return ::reboot(cmd); }
int LinuxKernel::klogctl(int type, char* buf, int length) { return ::klogctl(type, buf, length); }
int LinuxKernel::uname(struct utsname* buf) { return ::uname(buf); }

int LinuxKernel::select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                        struct timeval* timeout) {
    return ::select(nfds, readfds, writefds, exceptfds, timeout);
}
unsigned int LinuxKernel::alarm(unsigned int seconds) { return ::alarm(seconds); }
int LinuxKernel::sigaction(int signum, const struct sigaction* act, struct sigaction* old) {
    return ::sigaction(signum, act, old);
}
time_t LinuxKernel::time(time_t* out) { return ::time(out); }
int LinuxKernel::gettimeofday(struct timeval* tv) { return ::gettimeofday(tv, nullptr); }
unsigned int LinuxKernel::sleep(unsigned int seconds) { return ::sleep(seconds); }
int LinuxKernel::usleep(useconds_t usec) { return ::usleep(usec); }

int LinuxKernel::execv(const char* path, char* const argv[]) { return ::execv(path, argv); }
int LinuxKernel::system(const char* command) { return std::system(command); }
void LinuxKernel::exit(int status) { std::exit(status); }

}  // namespace sys

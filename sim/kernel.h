// sim::Kernel: the simulated device behind sys::Kernel. It answers the
// program's requests from a device directory, keeps virtual time, feeds
// the console, injects faults and records how the run ends.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <typeindex>
#include <vector>

#include "sim/clock.h"
#include "sim/console.h"
#include "sim/device_dir.h"
#include "sim/faults.h"
#include "sim/klog.h"
#include "sim/modules.h"
#include "sim/mounts.h"
#include "sim/open_file.h"
#include "sim/storage.h"
#include "sys/kernel.h"

namespace sim {

class Panel;
class RunReport;

// Where a program path leads.
struct Resolved {
    enum class Kind { host, device, missing } kind = Kind::missing;
    std::string path;       // normalised program path
    std::string host_path;  // for host
};

class Kernel final : public sys::Kernel {
public:
    Kernel(DeviceDir device, Console::Input input);

    // How a run ends: the exact last line ("exec /bin/kinit", "reboot (...)",
    // ...). The default prints "SIM: <line>" and ends the process with
    // status 0; tests may install their own.
    using RunEndHandler = std::function<void(const std::string& line)>;
    void on_run_end(RunEndHandler handler) { run_end_ = std::move(handler); }
    [[noreturn]] void end_run(const std::string& line);
    // The simulation cannot go on (the program waits for something that will
    // never come): says why and ends the process with status 2.
    [[noreturn]] void stuck(const std::string& why);

    DeviceDir& device() { return device_; }
    Clock& clock() { return clock_; }
    Console& console() { return console_; }
    Faults& faults() { return faults_; }
    KernelLog& klog() { return klog_; }
    Modules& modules() { return modules_; }
    Mounts& mounts() { return mounts_; }
    // The e-ink panel behind /dev/fb0 (sim/dev/fb.h), made on first use.
    Panel& panel();
    // The page of this run (sim/report.h), when one is kept: it takes what
    // the console carries and the panel shows, and is written when the run
    // ends, however it ends.
    void keep_report(RunReport& report);
    RunReport* report() { return report_; }

    // State of one kind of simulated device (sim/dev/), made on first use
    // with the kernel as its argument and kept for the run.
    template <typename State>
    State& state() {
        auto& slot = states_[std::type_index(typeid(State))];
        if (!slot) slot = std::make_shared<State>(*this);
        return *static_cast<State*>(slot.get());
    }

    Storage& storage() { return storage_; }

    Resolved resolve(const std::string& path);
    // Whether path outside /dev is a file published by a simulated device.
    bool is_device_node(const std::string& path);
    bool has_open_file_within(const std::string& dir) const;
    // Whether a descriptor of the program is open on a path that matches.
    bool any_open_file(const std::function<bool(const std::string& path)>& matches) const;
    // The open file behind a descriptor of the program, or null (errno EBADF).
    OpenFile* open_file(int fd) { return file(fd); }
    // Gives the program a descriptor for file, as if it had opened it (for
    // tests that need a device the simulation does not have).
    int adopt(std::unique_ptr<OpenFile> file);
    // The paths of the program's descriptors (beyond 0 to 2) that an exec or
    // a shell command would pass on: those not marked close-on-exec.
    std::vector<std::string> passed_on_exec() const;
    // The flags of the last open of path (a normalised program path), or -1.
    int last_open_flags(const std::string& path) const;
    // How many requests without the clock moving make a spinning program
    // (tests lower it to reach the limit quickly).
    void set_spin_limit(long requests) { spin_limit_ = requests; }
    // Real time since the epoch at virtual time 0.
    static constexpr time_t epoch = 1796083200;  // 2026-12-01 00:00:00 UTC

    // sys::Kernel
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
    std::unique_ptr<sys::Directory> opendir(const char* path) override;
    [[nodiscard]] int unlink(const char* path) override;
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
    // Defined with the free space of the file systems (sim/room.cpp).
    int statfs(const char* path, struct statfs* buf) override;

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

private:
    OpenFile* file(int fd);
    int install_fd(std::unique_ptr<OpenFile> file);
    int stat_path(const char* path, struct stat* st, bool follow);
    // The swap fault: the file's bytes change under the program.
    void swap_contents(OpenFile& f);
    // Waits until virtual time until; false when a signal interrupted it.
    bool wait_until(Micros until);
    // A request to a device that never answers: only a signal ends it, and
    // when the program's handler returns the request fails with EINTR.
    int hang(const std::string& what);
    // Counts requests made while the virtual time stands still: a program
    // that never waits for anything would otherwise spin for ever.
    void note_request();
    // Writes the page of the run, if one is kept, for the run's last line.
    void finish_report(const std::string& outcome);

    DeviceDir device_;
    Clock clock_;
    Console console_;
    Faults faults_;
    KernelLog klog_;
    Modules modules_;
    Mounts mounts_;
    Storage storage_;
    std::map<int, std::unique_ptr<OpenFile>> fds_;
    std::map<std::string, int> last_open_flags_;
    std::map<std::type_index, std::shared_ptr<void>> states_;
    std::string boot_flag_written_;
    bool boot_flag_touched_ = false;
    RunEndHandler run_end_;
    Micros still_since_ = -1;
    long still_requests_ = 0;
    // Far more requests than any real operation makes without ever sleeping
    // or waiting: opening, timing and alarm requests are few per step.
    long spin_limit_ = 500'000;
    std::shared_ptr<Panel> panel_;
    RunReport* report_ = nullptr;
};

}  // namespace sim

#include "sim/kernel.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/sysmacros.h>

#include <chrono>
#include <sys/reboot.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "sim/devices.h"
#include "sim/host_file.h"
#include "sim/report.h"
#include "sim/room.h"
#include "sim/shell.h"
#include "sys/linux_kernel.h"

namespace sim {

namespace {

constexpr const char* kernel_boot_flag = "/proc/bootglobals/kernel_boot_flag";
// What the program spends between a time-out and its next look at the clock.
constexpr Micros wakeup_latency = 50;
// File systems that only appear once mounted; before that their mount
// points are empty directories.
constexpr const char* pseudo_mount_points[] = {"/proc", "/sys"};

sys::LinuxKernel host;

class ConsoleFile final : public OpenFile {
public:
    ConsoleFile(Console& console, int stream) : console_(console), stream_(stream) { path = "/dev/console"; }
    ssize_t read(void* buf, size_t count) override { return console_.read(buf, count); }
    ssize_t write(const void* buf, size_t count) override { return console_.write(stream_, buf, count); }
    int ioctl(unsigned long request, void*) override {
        if (request == 0x5409) {  // TCSBRK: waits until the line has sent everything
            console_.drain();
            return 0;
        }
        errno = ENOTTY;
        return -1;
    }
    int fstat(struct stat* st) override {
        *st = {};
        st->st_mode = S_IFCHR | 0600;
        st->st_rdev = makedev(5, 1);
        return 0;
    }
    bool input_ready() override { return stream_ == 0 && console_.has_input(); }

private:
    Console& console_;
    int stream_;
};

class ListedDirectory final : public sys::Directory {
public:
    explicit ListedDirectory(std::vector<std::string> names) : names_(std::move(names)) {}
    int next(std::string& name) override {
        if (next_ >= names_.size()) return 0;
        name = names_[next_++];
        return 1;
    }

private:
    std::vector<std::string> names_;
    size_t next_ = 0;
};

std::string normalise(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        const std::string part = path.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = slash + 1;
    }
    std::string result;
    for (const auto& part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

std::string escaped(const std::string& bytes) {
    std::string text;
    for (const unsigned char c : bytes) {
        if (c == '\n') text += "\\n";
        else if (c == '"' || c == '\\') text += std::string("\\") + static_cast<char>(c);
        else if (c < 0x20 || c > 0x7e) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            text += hex;
        } else text += static_cast<char>(c);
    }
    return text;
}

}  // namespace

Kernel::Kernel(DeviceDir device, Console::Input input)
    : device_(std::move(device)), console_(input), klog_(clock_) {
    for (int stream = 0; stream < 3; ++stream) fds_[stream] = std::make_unique<ConsoleFile>(console_, stream);
    ::mkdir(device_.host_path(".sim").c_str(), 0755);
    ::mkdir(device_.host_path(".sim/empty").c_str(), 0755);
    klog_.log("Linux version " + device_.setting("kernel_release", "2.6.35-quillmar-sim") +
              " (quillmar-sim) " + device_.setting("kernel_version", "#1"));
    klog_.log("Kernel command line: console=ttymxc0,115200 root=/dev/mmcblk0p1 ro");
    run_end_ = [this](const std::string& line) {
        const std::string text = "SIM: " + line + "\n";
        console_.write(1, text.data(), text.size());
        ::_exit(0);
    };
}

void Kernel::keep_report(RunReport& report) {
    report_ = &report;
    console_.tap([this](int stream, std::string_view bytes) { report_->console(clock_.now(), stream, bytes); });
}

void Kernel::finish_report(const std::string& outcome) {
    if (report_ == nullptr) return;
    console_.tap(nullptr);
    std::string error;
    if (!report_->finish(clock_.now(), outcome, error)) {
        const std::string text = "quillmar-sim: " + error + "\n";
        console_.write(2, text.data(), text.size());
    }
    report_ = nullptr;  // once: a run ends only once
}

void Kernel::end_run(const std::string& line) {
    finish_report(line);
    run_end_(line);
    ::_exit(0);  // a handler that returned has nothing left to run
}

void Kernel::stuck(const std::string& why) {
    finish_report("stuck: " + why);
    const std::string text = "SIM: stuck: " + why + "\n";
    console_.write(2, text.data(), text.size());
    ::_exit(2);
}

Resolved Kernel::resolve(const std::string& path) {
    Resolved result;
    result.path = normalise(path);
    if (path_within(result.path, "/dev") || is_device_node(result.path)) {
        result.kind = Resolved::Kind::device;
        return result;
    }
    if (const Mount* mount = mounts_.holding(result.path)) {
        result.kind = Resolved::Kind::host;
        result.host_path = device_.host_path(mount->host_dir) + result.path.substr(mount->target.size());
        return result;
    }
    for (const char* point : pseudo_mount_points) {
        if (result.path == point) {
            result.kind = Resolved::Kind::host;
            result.host_path = device_.host_path(".sim/empty");
            return result;
        }
        if (path_within(result.path, point)) return result;  // missing until mounted
    }
    result.kind = Resolved::Kind::host;
    result.host_path = device_.root() + result.path;
    return result;
}

bool Kernel::is_device_node(const std::string& path) {
    // Outside /dev only files a device publishes (its sysfs attributes) count.
    if (!path_within(path, "/sys")) return false;
    const auto nodes = device_nodes(*this);
    return std::any_of(nodes.begin(), nodes.end(), [&](const DeviceNode& n) { return n.path == path; });
}

bool Kernel::has_open_file_within(const std::string& dir) const {
    return std::any_of(fds_.begin(), fds_.end(),
                       [&](const auto& entry) { return path_within(normalise(entry.second->path), dir); });
}

bool Kernel::any_open_file(const std::function<bool(const std::string& path)>& matches) const {
    return std::any_of(fds_.begin(), fds_.end(), [&](const auto& entry) { return matches(entry.second->path); });
}

OpenFile* Kernel::file(int fd) {
    const auto found = fds_.find(fd);
    if (found == fds_.end()) {
        errno = EBADF;
        return nullptr;
    }
    return found->second.get();
}

int Kernel::install_fd(std::unique_ptr<OpenFile> opened) {
    int fd = 0;
    while (fds_.count(fd) != 0) ++fd;
    fds_[fd] = std::move(opened);
    return fd;
}

int Kernel::open(const char* path, int flags, mode_t mode) {
    note_request();
    const Resolved where = resolve(path);
    // O_PATH only looks the name up: the file itself is not opened.
    if ((flags & O_PATH) == 0 && faults_.hangs(where.path)) return hang(std::string("open of ") + path);
    if (faults_.vanished(where.path)) {
        errno = ENOENT;
        return -1;
    }
    std::unique_ptr<OpenFile> opened;
    switch (where.kind) {
        case Resolved::Kind::missing: errno = ENOENT; return -1;
        case Resolved::Kind::host:
            if ((flags & O_TRUNC) != 0 && (flags & O_ACCMODE) != O_RDONLY) room_free_file(*this, where.path);
            opened = HostFile::open(where.host_path, flags, mode);
            break;
        case Resolved::Kind::device: {
            const auto nodes = device_nodes(*this);
            const auto node = std::find_if(nodes.begin(), nodes.end(),
                                           [&](const DeviceNode& n) { return n.path == where.path; });
            if (node == nodes.end()) {
                errno = ENOENT;
                return -1;
            }
            opened = node->open(flags);
            break;
        }
    }
    if (!opened) return -1;
    opened->path = where.path;
    opened->flags = flags;
    opened->close_on_exec = (flags & O_CLOEXEC) != 0;
    last_open_flags_[where.path] = flags;
    return install_fd(std::move(opened));
}

ssize_t Kernel::read(int fd, void* buf, size_t count) {
    OpenFile* f = file(fd);
    if (f == nullptr) return -1;
    if (dynamic_cast<ConsoleFile*>(f) != nullptr && !f->input_ready()) {
        // A console read blocks until a line comes, as on a serial line.
        fd_set wanted;
        FD_ZERO(&wanted);
        FD_SET(fd, &wanted);
        if (select(fd + 1, &wanted, nullptr, nullptr, nullptr) < 0) return -1;
    }
    if (fd > 2 && faults_.read_fails(f->path)) {
        errno = EIO;
        return -1;
    }
    const ssize_t got = f->read(buf, fd > 2 ? faults_.read_limit(f->path, count) : count);
    if (got > 0 && fd > 2) {
        // Reading on into a file is progress, however small the pieces a
        // slow device hands out: only requests that get nowhere (or read
        // the same bytes again) count towards a spinning program.
        const off_t position = f->lseek(0, SEEK_CUR);
        if (position > f->furthest_read) {
            f->furthest_read = position;
            still_requests_ = 0;
        }
    }
    return got;
}

ssize_t Kernel::write(int fd, const void* buf, size_t count) {
    OpenFile* f = file(fd);
    if (f == nullptr) return -1;
    if (dynamic_cast<ConsoleFile*>(f) != nullptr) return f->write(buf, count);
    ssize_t admitted = faults_.admit_write(f->path, count);
    if (admitted < 0) return -1;
    admitted = static_cast<ssize_t>(room_for_write(*this, *f, static_cast<size_t>(admitted)));
    if (admitted == 0 && count > 0) return -1;
    const ssize_t written = f->write(buf, static_cast<size_t>(admitted));
    if (written > 0 && f->path == kernel_boot_flag) {
        boot_flag_touched_ = true;
        boot_flag_written_.append(static_cast<const char*>(buf), static_cast<size_t>(written));
    }
    if (written >= 0 && faults_.power_cut_due())
        end_run("power-off (power cut after write " + std::to_string(faults_.writes()) + ")");
    return written;
}

off_t Kernel::lseek(int fd, off_t offset, int whence) {
    OpenFile* f = file(fd);
    if (f == nullptr) return -1;
    if (fd > 2 && faults_.seek_fails(f->path)) {
        errno = EIO;
        return -1;
    }
    if (offset == 0 && whence == SEEK_SET && f->lseek(0, SEEK_CUR) > 0) swap_contents(*f);
    return f->lseek(offset, whence);
}

void Kernel::swap_contents(OpenFile& f) {
    if (dynamic_cast<HostFile*>(&f) == nullptr) return;
    const std::string replacement = faults_.take_swap(f.path);
    if (replacement.empty()) return;
    // Written through a descriptor of its own: the program's may be
    // read-only, and it keeps reading the same file.
    const Resolved where = resolve(f.path);
    const int source = ::open(replacement.c_str(), O_RDONLY | O_CLOEXEC);
    const int target = ::open(where.host_path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (source < 0 || target < 0) stuck("cannot swap " + f.path + " for " + replacement);
    char buffer[65536];
    for (ssize_t n; (n = ::read(source, buffer, sizeof buffer)) > 0;)
        if (::write(target, buffer, static_cast<size_t>(n)) != n) stuck("cannot swap " + f.path);
    ::close(source);
    ::close(target);
    klog_.log("swap: " + f.path + " now holds " + replacement);
}

int Kernel::close(int fd) {
    if (fds_.erase(fd) == 0) {
        errno = EBADF;
        return -1;
    }
    return 0;
}

int Kernel::fsync(int fd) {
    OpenFile* f = file(fd);
    if (f == nullptr) return -1;
    if (fd > 2 && faults_.fsync_fails(f->path)) {
        errno = EIO;
        return -1;
    }
    return f->fsync();
}

int Kernel::ioctl(int fd, unsigned long request, void* arg) {
    OpenFile* f = file(fd);
    if (f == nullptr) return -1;
    if (fd > 2 && faults_.vanished(f->path)) {
        errno = EIO;
        return -1;
    }
    if (fd > 2 && faults_.hangs(f->path)) return hang("request to " + f->path);
    return f->ioctl(request, arg);
}

int Kernel::fcntl_setfd(int fd, int fd_flags) {
    OpenFile* f = file(fd);
    if (f == nullptr) return -1;
    if ((fd_flags & ~FD_CLOEXEC) != 0) {
        errno = EINVAL;
        return -1;
    }
    f->close_on_exec = (fd_flags & FD_CLOEXEC) != 0;
    return 0;
}

int Kernel::adopt(std::unique_ptr<OpenFile> file) { return install_fd(std::move(file)); }

std::vector<std::string> Kernel::passed_on_exec() const {
    std::vector<std::string> paths;
    for (const auto& [fd, f] : fds_)
        if (fd > 2 && !f->close_on_exec) paths.push_back(f->path);
    return paths;
}

int Kernel::last_open_flags(const std::string& path) const {
    const auto found = last_open_flags_.find(path);
    return found == last_open_flags_.end() ? -1 : found->second;
}

int Kernel::stat_path(const char* path, struct stat* st, bool follow) {
    note_request();
    const Resolved where = resolve(path);
    switch (where.kind) {
        case Resolved::Kind::missing: errno = ENOENT; return -1;
        case Resolved::Kind::host:
            return follow ? host.stat(where.host_path.c_str(), st) : host.lstat(where.host_path.c_str(), st);
        case Resolved::Kind::device: break;
    }
    if (faults_.vanished(where.path)) {
        errno = ENOENT;
        return -1;
    }
    *st = {};
    for (const auto& node : device_nodes(*this)) {
        if (node.path == where.path) {
            st->st_mode = node.type | 0660;
            st->st_rdev = node.rdev;
            st->st_nlink = 1;
            return 0;
        }
        if (path_within(node.path, where.path)) {
            st->st_mode = S_IFDIR | 0755;
            st->st_nlink = 2;
            return 0;
        }
    }
    errno = ENOENT;
    return -1;
}

int Kernel::stat(const char* path, struct stat* st) { return stat_path(path, st, true); }
int Kernel::lstat(const char* path, struct stat* st) { return stat_path(path, st, false); }

int Kernel::fstat(int fd, struct stat* st) {
    OpenFile* f = file(fd);
    return f == nullptr ? -1 : f->fstat(st);
}

std::unique_ptr<sys::Directory> Kernel::opendir(const char* path) {
    const Resolved where = resolve(path);
    if (where.kind == Resolved::Kind::host) return host.opendir(where.host_path.c_str());
    if (where.kind == Resolved::Kind::missing) {
        errno = ENOENT;
        return nullptr;
    }
    std::vector<std::string> names = {".", ".."};
    std::set<std::string> seen;
    bool is_dir = where.path == "/dev";
    for (const auto& node : device_nodes(*this)) {
        if (node.path == where.path) {
            errno = ENOTDIR;
            return nullptr;
        }
        if (!path_within(node.path, where.path)) continue;
        is_dir = true;
        const std::string rest = node.path.substr(where.path.size() + 1);
        const std::string name = rest.substr(0, rest.find('/'));
        if (seen.insert(name).second) names.push_back(name);
    }
    if (!is_dir) {
        errno = ENOENT;
        return nullptr;
    }
    return std::make_unique<ListedDirectory>(std::move(names));
}

namespace {
// Applies a file-system call to the host path behind a program path; the
// device nodes cannot be changed this way.
template <typename Call>
int on_host(Kernel& kernel, const char* path, Call call) {
    const Resolved where = kernel.resolve(path);
    if (where.kind == Resolved::Kind::device) {
        errno = EPERM;
        return -1;
    }
    if (where.kind == Resolved::Kind::missing) {
        errno = ENOENT;
        return -1;
    }
    return call(where.host_path.c_str());
}
}  // namespace

int Kernel::unlink(const char* path) {
    room_free_file(*this, path);
    return on_host(*this, path, [](const char* p) { return host.unlink(p); });
}
int Kernel::remove(const char* path) {
    room_free_file(*this, path);
    return on_host(*this, path, [](const char* p) { return host.remove(p); });
}
int Kernel::mkdir(const char* path, mode_t mode) {
    if (resolve(path).path == "/dev") {
        errno = EEXIST;
        return -1;
    }
    return on_host(*this, path, [mode](const char* p) { return host.mkdir(p, mode); });
}
int Kernel::rmdir(const char* path) {
    return on_host(*this, path, [](const char* p) { return host.rmdir(p); });
}
int Kernel::access(const char* path, int mode) {
    const Resolved where = resolve(path);
    if (where.kind == Resolved::Kind::device) {
        struct stat st {};
        return stat(path, &st);
    }
    return on_host(*this, path, [mode](const char* p) { return host.access(p, mode); });
}
ssize_t Kernel::readlink(const char* path, char* buf, size_t size) {
    return on_host(*this, path, [&](const char* p) { return static_cast<int>(host.readlink(p, buf, size)); });
}

int Kernel::rename(const char* from, const char* to) {
    const Resolved source = resolve(from);
    const Resolved target = resolve(to);
    if (source.kind != Resolved::Kind::host || target.kind != Resolved::Kind::host) {
        errno = source.kind == Resolved::Kind::missing ? ENOENT : EPERM;
        return -1;
    }
    if (mounts_.holding(source.path) != mounts_.holding(target.path)) {
        errno = EXDEV;
        return -1;
    }
    struct stat moved {};
    if (host.stat(source.host_path.c_str(), &moved) == 0 && !S_ISDIR(moved.st_mode)) room_free_file(*this, to);
    return host.rename(source.host_path.c_str(), target.host_path.c_str());
}

int Kernel::mount(const char* source, const char* target, const char* fstype, unsigned long flags,
                  const void* data) {
    return mounts_.mount(*this, source != nullptr ? source : "", target != nullptr ? target : "",
                         fstype != nullptr ? fstype : "", flags,
                         data != nullptr ? static_cast<const char*>(data) : "");
}

int Kernel::umount2(const char* target, int flags) { return mounts_.umount(*this, target, flags); }

void Kernel::sync() {}

void* Kernel::mmap(void*, size_t length, int prot, int flags, int fd, off_t offset) {
    OpenFile* f = file(fd);
    if (f == nullptr) return MAP_FAILED;
    return f->mmap(length, prot, flags, offset);
}

int Kernel::munmap(void*, size_t) { return 0; }

int Kernel::init_module(const void* image, unsigned long length, const char* params) {
    std::string name;
    const int result = modules_.load(image, length, params, name);
    if (result == 0) klog_.log(name + ": module loaded" + (params && *params ? std::string(" (") + params + ")" : ""));
    return result;
}

int Kernel::delete_module(const char* name, unsigned int) {
    const int result = modules_.remove(name != nullptr ? name : "");
    if (result == 0) klog_.log(std::string(name) + ": module unloaded");
    return result;
}

int Kernel::reboot(int cmd) {
    if (cmd != static_cast<int>(RB_AUTOBOOT) && cmd != static_cast<int>(RB_POWER_OFF)) {
        errno = EINVAL;
        return -1;
    }
    if (faults_.reboot_fails()) {
        klog_.log("reboot: request refused (injected fault)");
        errno = EPERM;
        return -1;
    }
    if (cmd == static_cast<int>(RB_POWER_OFF)) end_run("power-off");
    end_run(boot_flag_touched_ ? "reboot (kernel_boot_flag written \"" + escaped(boot_flag_written_) + "\")"
                               : "reboot (kernel_boot_flag untouched)");
}

int Kernel::klogctl(int type, char* buf, int length) { return klog_.klogctl(type, buf, length); }

int Kernel::uname(struct utsname* buf) {
    *buf = {};
    const auto copy = [](char* field, size_t size, const std::string& text) {
        std::strncpy(field, text.c_str(), size - 1);
    };
    copy(buf->sysname, sizeof buf->sysname, "Linux");
    copy(buf->nodename, sizeof buf->nodename, "(none)");
    copy(buf->release, sizeof buf->release, device_.setting("kernel_release", "2.6.35-quillmar-sim"));
    copy(buf->version, sizeof buf->version, device_.setting("kernel_version", "#1"));
    copy(buf->machine, sizeof buf->machine, device_.setting("machine", "armv7l"));
    return 0;
}

bool Kernel::wait_until(Micros until) { return !clock_.advance_to(until); }

int Kernel::hang(const std::string& what) {
    for (;;) {
        const auto next = clock_.next_event();
        if (!next) stuck(what + " hangs and no alarm is armed");
        if (clock_.advance_to(*next)) {
            // Linux gives up an interruptible wait when a handler returns.
            errno = EINTR;
            return -1;
        }
    }
}

void Kernel::note_request() {
    if (clock_.now() != still_since_) {
        still_since_ = clock_.now();
        still_requests_ = 0;
    } else if (++still_requests_ > spin_limit_) {
        stuck("the program keeps running without ever waiting: it spins in a loop");
    }
}

int Kernel::select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds, struct timeval* timeout) {
    if (faults_.select_fails()) {
        errno = ENOMEM;
        return -1;
    }
    std::vector<int> wanted;
    for (int fd = 0; readfds != nullptr && fd < nfds; ++fd) {
        if (!FD_ISSET(fd, readfds)) continue;
        if (file(fd) == nullptr) return -1;
        wanted.push_back(fd);
    }
    if (writefds != nullptr) FD_ZERO(writefds);
    if (exceptfds != nullptr) FD_ZERO(exceptfds);
    const bool limited = timeout != nullptr;
    const Micros deadline =
        limited ? clock_.now() + timeout->tv_sec * one_second + timeout->tv_usec : Micros{0};
    const bool live_console = console_.live() && std::count(wanted.begin(), wanted.end(), 0) != 0;

    for (;;) {
        std::vector<int> ready;
        for (const int fd : wanted)
            if (file(fd)->input_ready()) ready.push_back(fd);
        if (!ready.empty()) {
            if (readfds != nullptr) FD_ZERO(readfds);
            for (const int fd : ready) FD_SET(fd, readfds);
            if (limited) {
                const Micros left = std::max<Micros>(0, deadline - clock_.now());
                timeout->tv_sec = left / one_second;
                timeout->tv_usec = left % one_second;
            }
            return static_cast<int>(ready.size());
        }
        if (limited && clock_.now() >= deadline) break;

        const auto next = clock_.next_event();
        Micros until = limited ? deadline : (next ? *next : clock_.now() + one_second);
        if (next && *next < until) until = *next;
        if (live_console) {
            // A person types in real time: wait for them for real, and let
            // the virtual clock follow.
            const Micros step = std::max<Micros>(0, until - clock_.now());
            const auto started = std::chrono::steady_clock::now();
            const bool typed = console_.wait_live_input(step);
            const auto spent = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::steady_clock::now() - started).count();
            until = typed ? clock_.now() + std::min<Micros>(spent, step) : until;
        } else if (!limited && !next) {
            stuck("the program waits for input without a time limit and nothing more will come");
        }
        if (!wait_until(until)) {
            errno = EINTR;
            return -1;
        }
    }
    if (readfds != nullptr) FD_ZERO(readfds);
    if (timeout != nullptr) *timeout = {0, 0};
    wait_until(clock_.now() + wakeup_latency);
    return 0;
}

unsigned int Kernel::alarm(unsigned int seconds) {
    note_request();
    return clock_.alarm(seconds);
}

int Kernel::sigaction(int signum, const struct sigaction* act, struct sigaction* old) {
    return ::sigaction(signum, act, old);
}

time_t Kernel::time(time_t* out) {
    note_request();
    const time_t now = epoch + static_cast<time_t>(clock_.now() / one_second);
    if (out != nullptr) *out = now;
    return now;
}

int Kernel::gettimeofday(struct timeval* tv) {
    note_request();
    tv->tv_sec = epoch + static_cast<time_t>(clock_.now() / one_second);
    tv->tv_usec = static_cast<suseconds_t>(clock_.now() % one_second);
    return 0;
}

unsigned int Kernel::sleep(unsigned int seconds) {
    const Micros until = clock_.now() + static_cast<Micros>(seconds) * one_second;
    if (wait_until(until)) return 0;
    return static_cast<unsigned>((until - clock_.now() + one_second - 1) / one_second);
}

int Kernel::usleep(useconds_t usec) {
    if (wait_until(clock_.now() + static_cast<Micros>(usec))) return 0;
    errno = EINTR;
    return -1;
}

int Kernel::execv(const char* path, char* const[]) {
    const Resolved where = resolve(path);
    struct stat st {};
    if (where.kind != Resolved::Kind::host || host.stat(where.host_path.c_str(), &st) != 0) {
        errno = ENOENT;
        return -1;
    }
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0111) == 0) {
        errno = EACCES;
        return -1;
    }
    end_run("exec " + where.path);
}

int Kernel::system(const char* command) {
    if (command == nullptr) return 1;  // a shell is there
    return run_shell_command(*this, command);
}

void Kernel::exit(int status) {
    const std::string line = "init exited with status " + std::to_string(status) + ": the kernel would panic here";
    finish_report(line);
    const std::string text = "SIM: " + line + "\n";
    console_.write(2, text.data(), text.size());
    ::_exit(3);
}

}  // namespace sim

#include "sim/dev/usb.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/kernel.h"

namespace sim {

namespace {

// A sysfs attribute: a read shows the current value, a write stores one.
class Attribute final : public OpenFile {
public:
    using Show = std::function<std::string()>;
    using Store = std::function<ssize_t(const void*, size_t)>;
    Attribute(Show show, Store store) : show_(std::move(show)), store_(std::move(store)) {}

    ssize_t read(void* buf, size_t count) override {
        const std::string text = show_();
        if (offset_ >= text.size()) return 0;
        const size_t n = std::min(count, text.size() - offset_);
        text.copy(static_cast<char*>(buf), n, offset_);
        offset_ += n;
        return static_cast<ssize_t>(n);
    }
    ssize_t write(const void* buf, size_t count) override {
        if (!store_) {
            errno = EACCES;
            return -1;
        }
        return store_(buf, count);
    }
    off_t lseek(off_t offset, int whence) override {
        if (whence != SEEK_SET || offset < 0) {
            errno = EINVAL;
            return -1;
        }
        offset_ = static_cast<size_t>(offset);
        return offset;
    }
    int fstat(struct stat* st) override {
        *st = {};
        st->st_mode = S_IFREG | (store_ ? 0644 : 0444);
        st->st_size = 4096;
        return 0;
    }

private:
    Show show_;
    Store store_;
    size_t offset_ = 0;
};

DeviceNode attribute(const std::string& path, Attribute::Show show, Attribute::Store store) {
    return {path, S_IFREG, 0, [show, store](int) -> std::unique_ptr<OpenFile> {
                return std::make_unique<Attribute>(show, store);
            }};
}

}  // namespace

void UsbController::set_cable(bool in) {
    cable_ = in;
    if (!in) host_ = false;
}

void UsbController::set_host(bool attached) {
    host_ = attached;
    if (attached) cable_ = true;
}

std::string UsbController::udc_name() const {
    const std::string configured = kernel_.device().setting("udc_name");
    if (!configured.empty()) return configured;
    std::ifstream board(kernel_.device().host_path("proc/board_id"));
    const int letter = std::toupper(board.get());
    return letter == 'K' || letter == 'P' ? "fsl-usb2-udc" : "arc_udc";
}

const std::string& UsbController::backing_file() {
    if (!kernel_.modules().loaded("g_file_storage")) backing_.clear();  // the unit went with its driver
    return backing_;
}

ssize_t UsbController::store_file(const void* buf, size_t count) {
    const std::string bytes(static_cast<const char*>(buf), count);
    file_writes_.push_back(bytes);
    std::string path = bytes.substr(0, bytes.find_first_of(std::string("\0\n", 2)));
    if (!path.empty()) {
        struct stat status {};
        if (kernel_.stat(path.c_str(), &status) != 0) return -1;
        if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
            errno = EINVAL;
            return -1;
        }
    }
    backing_ = path;
    kernel_.klog().log("g_file_storage: lun0: " + (path.empty() ? std::string("medium ejected") : "open backing file: " + path));
    return static_cast<ssize_t>(count);
}

void add_usb_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    if (!kernel.mounts().mounted_on("/sys")) return;
    auto& usb = kernel.state<UsbController>();
    const std::string platform = "/sys/devices/platform/";
    if (kernel.modules().loaded("arcotg_udc") && usb.cable())
        nodes.push_back(attribute(platform + "arc_udc/connected", [] { return std::string("1\n"); }, nullptr));
    if (!kernel.modules().loaded("g_file_storage")) return;
    const std::string lun = platform + usb.udc_name() + "/gadget/gadget-lun0/";
    nodes.push_back(attribute(
        lun + "file", [&usb] { return usb.backing_file() + "\n"; },
        [&usb](const void* buf, size_t count) { return usb.store_file(buf, count); }));
    if (usb.host() && !usb.backing_file().empty())
        nodes.push_back(attribute(lun + "online", [] { return std::string("1\n"); }, nullptr));
}

bool usb_verb(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    std::istringstream in(event.argument);
    std::string what, state, rest;
    in >> what >> state >> rest;
    if ((what != "cable" && what != "host") || (state != "on" && state != "off") || !rest.empty()) {
        error = "usb needs cable|host on|off";
        return false;
    }
    const bool on = state == "on";
    kernel.clock().at(event.at, [&kernel, what, on] {
        auto& usb = kernel.state<UsbController>();
        if (what == "cable") usb.set_cable(on);
        else usb.set_host(on);
        kernel.klog().log("usb: " + what + (on ? " attached" : " detached"));
        return false;
    });
    return true;
}

}  // namespace sim

#include "sim/device_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/dev/fb.h"
#include "sim/modules.h"

namespace sim {

namespace {

// Driver modules of the initial RAM file system.
constexpr const char* module_names[] = {
    "arcotg_udc", "charger", "eink_fb_hal", "eink_fb_hal_broads", "eink_fb_shim",
    "fiveway",    "g_ether", "g_file_storage", "mxc_keyb",
};

bool make_dirs(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

bool write_file(const std::string& path, const std::string& text, mode_t mode = 0644) {
    const auto slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !make_dirs(path.substr(0, slash))) return false;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    file.close();
    return file.good() && ::chmod(path.c_str(), mode) == 0;
}

}  // namespace

bool init_device(const std::string& dir, const InitOptions& options, std::string& error) {
    struct stat status {};
    if (::stat((dir + "/device.conf").c_str(), &status) == 0) {
        error = dir + " already holds a simulated device";
        return false;
    }
    if (options.board_id.size() > 19 || options.serial.size() > 19) {
        error = "board id and serial number hold at most 19 characters";
        return false;
    }
    if (options.mmc_size < (64ULL << 20) || options.mmc_size % 512 != 0) {
        error = "the MMC size must be a multiple of 512 bytes and at least 64 MiB";
        return false;
    }
    if (options.mmc_heads == 0 || options.mmc_heads > 255 || options.mmc_sectors == 0 || options.mmc_sectors > 63) {
        error = "the MMC geometry needs 1 to 255 heads and 1 to 63 sectors per track";
        return false;
    }
    unsigned panel_width = 0;
    unsigned panel_height = 0;
    if (!parse_panel_size(options.panel, panel_width, panel_height)) {
        error = "the panel size must be WIDTHxHEIGHT, each 1 to 4096 pixels";
        return false;
    }
    if (!make_dirs(dir)) {
        error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }

    std::ostringstream conf;
    conf << "# quillmar simulated device\n"
         << "mmc_heads=" << options.mmc_heads << "\n"
         << "mmc_sectors=" << options.mmc_sectors << "\n"
         << "kernel_release=2.6.35-quillmar-sim\n"
         << "kernel_version=#1 PREEMPT Thu Dec 10 02:00:00 UTC 2026\n"
         << "machine=armv7l\n"
         << "panel=" << panel_width << "x" << panel_height << "\n"
         << "panel_bpp=4\n"
         << "battery=" << options.battery << "\n"
         << "input_events=" << options.input_events << "\n";

    bool ok = write_file(dir + "/proc/board_id", options.board_id + "\n") &&
              write_file(dir + "/proc/usid", options.serial + "\n") &&
              write_file(dir + "/proc/cmdline", "console=ttymxc0,115200 root=/dev/mmcblk0p1 ro\n") &&
              write_file(dir + "/proc/cpu/clocks", "mcu_main_clk-0: 532000000\nahb_clk-0: 133000000\n") &&
              write_file(dir + "/proc/bootglobals/kernel_boot_flag", "0\n") &&
              write_file(dir + "/proc/sys/kernel/hotplug", "/sbin/hotplug\n") && make_dirs(dir + "/sys/bus") &&
              write_file(dir + "/bin/kinit", "#!/bin/sh\n# the normal boot program of the device\n", 0755);
    for (const char* name : module_names)
        ok = ok && write_file(dir + "/lib/modules/" + name + ".ko", module_file_text(name));
    if (ok) {
        const std::string image = dir + "/mmc0.img";
        const int fd = ::open(image.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
        ok = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(options.mmc_size)) == 0;
        if (fd >= 0) ::close(fd);
    }
    // The settings file comes last: a directory without it is no device.
    ok = ok && write_file(dir + "/device.conf", conf.str());
    if (!ok) error = "cannot create the device in " + dir + ": " + std::strerror(errno);
    return ok;
}

bool DeviceDir::load(const std::string& dir, std::string& error) {
    std::ifstream conf(dir + "/device.conf");
    if (!conf) {
        error = dir + " is not a simulated device (no device.conf; run 'quillmar-sim init' first)";
        return false;
    }
    char* real = ::realpath(dir.c_str(), nullptr);
    root_ = real != nullptr ? real : dir;
    std::free(real);
    std::string line;
    while (std::getline(conf, line)) {
        if (line.empty() || line[0] == '#') continue;
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        settings_[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return true;
}

std::string DeviceDir::setting(const std::string& key, const std::string& fallback) const {
    const auto found = settings_.find(key);
    return found == settings_.end() ? fallback : found->second;
}

long DeviceDir::setting_number(const std::string& key, long fallback) const {
    const auto text = setting(key);
    if (text.empty()) return fallback;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    return *end == '\0' ? value : fallback;
}

}  // namespace sim

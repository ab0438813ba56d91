#include "sim/device_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sim/dev/fb.h"
#include "sim/filesystems.h"
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

// The first letters of the NOR-boot family's board identifiers.
bool nor_board(const std::string& board_id) {
    const char first = board_id.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(board_id[0])));
    return std::strchr("DFGHJ", first) != nullptr && first != '\0';
}

// NOR flash partitions by number and size; the second kernel copy is
// optional.
struct NorPartition {
    unsigned number;
    off_t size;
};
constexpr NorPartition nor_partitions[] = {
    {0, 256 << 10},  // Bootloader1
    {1, 3 << 20},    // Kernel1
    {3, 256 << 10},  // Bootloader2
    {4, 3 << 20},    // Kernel2
};

bool write_erased(const std::string& path, off_t size) {
    return write_file(path, std::string(static_cast<size_t>(size), '\xFF'));
}

bool make_image(const std::string& path, uint64_t size) {
    const int fd = ::open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
}

// A second card as it comes from a shop: one FAT32 partition from 1 MiB to
// the end, and an empty card/ directory for its files.
bool make_card(const std::string& dir, uint64_t size, unsigned heads, unsigned sectors) {
    const std::string image = dir + "/mmc1.img";
    if (!make_image(image, size) || !make_dirs(dir + "/card")) return false;
    constexpr uint32_t start = 2048;
    const auto count = static_cast<uint32_t>(size / 512 - start);
    uint8_t mbr[512] = {};
    uint8_t* entry = mbr + 446;
    const auto chs = [&](uint64_t lba, uint8_t* at) {
        const uint64_t cylinder = lba / (heads * sectors);
        if (cylinder >= 1024) {
            at[0] = static_cast<uint8_t>(heads - 1);
            at[1] = static_cast<uint8_t>((sectors & 0x3F) | 0xC0);
            at[2] = 0xFF;
            return;
        }
        at[0] = static_cast<uint8_t>((lba / sectors) % heads);
        at[1] = static_cast<uint8_t>(((lba % sectors) + 1) | ((cylinder >> 2) & 0xC0));
        at[2] = static_cast<uint8_t>(cylinder);
    };
    chs(start, entry + 1);
    entry[4] = 0x0B;
    chs(start + count - 1, entry + 5);
    for (int i = 0; i < 4; ++i) {
        entry[8 + i] = static_cast<uint8_t>(start >> (8 * i));
        entry[12 + i] = static_cast<uint8_t>(count >> (8 * i));
    }
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    const auto boot = fat32_boot_sector(count, start, "CARD", heads, sectors);
    const int fd = ::open(image.c_str(), O_WRONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::pwrite(fd, mbr, sizeof mbr, 0) == 512 &&
                    ::pwrite(fd, boot.data(), boot.size(), off_t{start} * 512) == 512;
    if (fd >= 0) ::close(fd);
    return ok;
}

}  // namespace

bool init_device(const std::string& dir, const InitOptions& options, std::string& error) {
    struct stat status {};
    if (::stat((dir + "/device.conf").c_str(), &status) == 0) {
        error = dir + " already holds a simulated device";
        return false;
    }
    std::string family = options.family;
    if (family.empty()) family = nor_board(options.board_id) ? "nor" : "mmc";
    if (family != "mmc" && family != "nor") {
        error = "the family is mmc or nor, not '" + family + "'";
        return false;
    }
    const bool nor = family == "nor";
    std::string board_id = options.board_id;
    if (board_id.empty()) board_id = nor ? "F1A0230000000000" : "P1A0230000000000";
    if (nor_board(board_id) != nor) {
        error = "board " + board_id + " does not belong to the " + family + " family";
        return false;
    }
    if (options.card_size != 0 && (options.card_size < (8ULL << 20) || options.card_size % 512 != 0)) {
        error = "the card size must be a multiple of 512 bytes and at least 8 MiB";
        return false;
    }
    if (board_id.size() > 19 || options.serial.size() > 19) {
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
         << "screens=" << (options.record_screens ? "all" : "none") << "\n"
         << "battery=" << options.battery << "\n"
         << "input_events=" << options.input_events << "\n";

    bool ok = write_file(dir + "/proc/board_id", board_id + "\n") &&
              write_file(dir + "/proc/usid", options.serial + "\n") &&
              write_file(dir + "/proc/cmdline", "console=ttymxc0,115200 root=/dev/mmcblk0p1 ro\n") &&
              write_file(dir + "/proc/cpu/clocks", "mcu_main_clk-0: 532000000\nahb_clk-0: 133000000\n") &&
              write_file(dir + "/proc/bootglobals/kernel_boot_flag", "0\n") &&
              write_file(dir + "/proc/sys/kernel/hotplug", "/sbin/hotplug\n") && make_dirs(dir + "/sys/bus") &&
              write_file(dir + "/bin/kinit", "#!/bin/sh\n# the normal boot program of the device\n", 0755);
    for (const char* name : module_names)
        ok = ok && write_file(dir + "/lib/modules/" + name + ".ko", module_file_text(name));
    ok = ok && make_image(dir + "/mmc0.img", options.mmc_size);
    for (const auto& partition : nor_partitions)
        if (nor && (partition.number != 4 || options.nor_kernel2))
            ok = ok && write_erased(dir + "/mtd" + std::to_string(partition.number) + ".img", partition.size);
    if (options.card_size != 0) ok = ok && make_card(dir, options.card_size, options.mmc_heads, options.mmc_sectors);
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

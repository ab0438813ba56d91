#include "update/update.h"

#include <fnmatch.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "battery/gasgauge.h"
#include "boot/startup.h"
#include "display/bar.h"
#include "display/eink.h"
#include "platform/boardid.h"
#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "update/copy_file.h"
#include "update/image_copies.h"
#include "update/remove_file.h"
#include "update/install_common.h"

namespace qm {

namespace {

constexpr const char* bundle_dir = "/mnt-us/";
constexpr const char* bundle_glob = "update*.bin";
constexpr const char* diagsfs_temp = "/diagsfs.img";
constexpr const char* diags_marker = "/mnt-rootfs/ENABLE_DIAGS";
constexpr int lowest_charge = 15;

enum class Mode { normal, diags, singlekernel };

constexpr const char* diags_message = "INFO:*** DIAGS MODE MEANS WE UPDATE BOTH KERNELS AND BOTH BOOTLOADERS ***\n";

Mode mode_of(const std::string& name) {
    if (name.find("diags") != std::string::npos) return Mode::diags;
    if (name.find("singlekernel") != std::string::npos) return Mode::singlekernel;
    return Mode::normal;
}

void set_result(int* result, int code) {
    if (result != nullptr) *result = code;
}

// The first bundle in directory order, or "" when there is none.
std::string first_bundle(sys::Directory& dir) {
    std::string name;
    while (dir.next(name) > 0)
        if (fnmatch(bundle_glob, name.c_str(), 0) == 0) return name;
    return "";
}

// 0 when the battery allows an update, else the result code of the refusal.
int battery_refusal(int skip_battery_check) {
    if (skip_battery_check) {
        err("INFO:Skipping battery charge check\n");
        return 0;
    }
    auto* gauge = gasgauge_open();
    if (gauge == nullptr) {
        err("ERROR:Could not access gasgauge\n");
        return 2;
    }
    const int charge = gasgauge_charge_percent(gauge);
    out("Charge: %u%% ", static_cast<unsigned>(charge));
    draw_bar_text(60, static_cast<uint32_t>(charge), 100);
    err("\n");
    gasgauge_close(gauge);
    if (charge < lowest_charge) {
        err("Skipping update because battery is low. (%u%% is below %u%%)\n", static_cast<unsigned>(charge),
            static_cast<unsigned>(lowest_charge));
        return 9;
    }
    return 0;
}

void recheck_images(Mode mode, uint32_t* flags) {
    bool copied = false;
    if (mode == Mode::diags) {
        err("%s", diags_message);
        copy_images(flags);
        copied = true;
    } else {
        err("INFO:Rechecking Kernel and Bootloader images...\n");
        check_images(flags);
        if (!images_sound(*flags)) {
            copy_images(flags);
            copied = true;
        }
    }
    if (copied && !images_sound(*flags))
        err("EMERGENCY:There are missing Kernel and/or Bootloader images and the device may fail to reboot\n");
}

// Installs the diagnostics image the bundle left behind; false when it
// could not (the caller then reports nothing installed).
bool install_diagsfs() {
    auto& k = sys::kernel();
    err("INFO:Installation had diagsfs.img, installing it.\n");
    if (check_diagsfs_partition() == 0) {
        if (!copy_file(diagsfs_temp, "/dev/mmcblk0p3", 1048576, 1, 0)) {
            err("EMERGENCY:Could not install diagsfs.img:could not copy to partition.\n");
            return false;
        }
        return true;
    }
    if (!mount_rootfs()) {
        err("EMERGENCY:Could not install diagsfs.img:rootfs could not be mounted.\n");
        return false;
    }
    if (!copy_file(diagsfs_temp, "/mnt-rootfs/diagsfs.img", 1048576, 1, 1)) {
        err("EMERGENCY:Could not install diagsfs.img:could not copy file.\n");
        k.unlink("/mnt-rootfs/diagsfs.img");
        unmount_rootfs();
        k.unlink(diagsfs_temp);
        return false;
    }
    unmount_rootfs();
    return true;
}

bool disable_diags() {
    if (!mount_rootfs()) {
        err("EMERGENCY:Could not set as non-diags\n");
        return false;
    }
    if (sys::kernel().unlink(diags_marker) == 0 || errno == ENOENT)
        err("INFO:Disabled diags.\n");
    else
        report_errno(diags_marker, errno);
    unmount_rootfs();
    return true;
}

}  // namespace

int has_multiple_updates(const char* dir) {
    auto& k = sys::kernel();
    k.alarm(15);
    int count = 0;
    if (auto entries = k.opendir(dir)) {
        std::string name;
        while (entries->next(name) > 0) {
            if (fnmatch(bundle_glob, name.c_str(), 0) != 0) continue;
            err("INFO:Found %s\n", name.c_str());
            ++count;
        }
    }
    k.alarm(0);
    return count;
}

int unbundle(const char* path, update_config* config, int* result) {
    if (is_orvik_platform()) return unbundle_orvik(path, config, result);
    if (is_selda_platform()) return unbundle_selda(path, config, result);
    err("Unrecognized platform, cannot install bundles.\n");
    return 0;
}

int update_os(int* result, int skip_battery_check) {
    auto& k = sys::kernel();
    update_config config{"/dev/mtdblock/1", "/dev/mtd/1", "/dev/mmcblk0p1", "/dev/mtdblock/0", "/dev/mtd/0", 0, nullptr, nullptr};

    auto dir = k.opendir(bundle_dir);
    if (!dir) {
        err("INFO:No update*.bin found, no update needed.\n");
        set_result(result, 0);
        return 0;
    }
    if (has_multiple_updates(bundle_dir) > 1) {
        err("ERROR:Refusing to update: too many update files found.\n");
        set_result(result, 8);
        return 0;
    }
    const std::string name = first_bundle(*dir);
    dir.reset();
    if (name.empty()) {
        err("INFO:No update*.bin found, no update needed.\n");
        set_result(result, 0);
        return 0;
    }
    const Mode mode = mode_of(name);
    if (const int refusal = battery_refusal(skip_battery_check)) {
        set_result(result, refusal);
        return 0;
    }

    char path[4096];
    std::snprintf(path, sizeof path, "%s%s", bundle_dir, name.c_str());
    err("INFO:Found bundle %s\n", path);
    k.alarm(15);
    eink_init();
    eink_screen(21);
    k.alarm(0);

    check_images(&config.image_flags);
    copy_images(&config.image_flags);
    switch (mode) {
        case Mode::diags:
            err("%s", diags_message);
            config.image_flags &= ~(kernel1_valid | kernel2_valid | bootloader1_valid | bootloader2_valid);
            break;
        case Mode::singlekernel:
            err("INFO:*** SINGLEKERNEL MODE MEANS WE UPDATE ONLY ONE KERNEL AND ONE BOOTLOADER ***\n");
            break;
        case Mode::normal:
            err("INFO:*** NORMAL MODE MEANS WE UPDATE BOTH KERNELS AND ONE BOOTLOADER ***\n");
            break;
    }

    if (!unbundle(path, &config, result)) {
        err("ERROR:Could not unbundle %s\n", path);
        remove_file(path);
        set_result(result, 3);
        return -1;
    }
    config.image_flags |= kernel1_valid | bootloader1_valid;
    remove_file(path);
    err("INFO:bundle %s was successful\n", path);
    set_result(result, 0);

    recheck_images(mode, &config.image_flags);

    if (k.access(diagsfs_temp, R_OK) == 0) {
        if (!install_diagsfs()) return 0;
    } else if (mode != Mode::diags) {
        if (!disable_diags()) return 0;
    }

    if (k.unlink(diagsfs_temp) == 0 || errno == ENOENT)
        err("INFO:removed temp diagsfs.img file.\n");
    else
        report_errno(diagsfs_temp, errno);
    return 1;
}

}  // namespace qm

#include "storage/gadget.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/boardid.h"
#include "storage/module.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

int g_storage_initialized = 0;

namespace {

struct module_entry {
    const char* path;
    const char* args;
};

constexpr module_entry orvik_modules[] = {
    {"/lib/modules/charger.ko", ""},
    {"/lib/modules/arcotg_udc.ko", "recovery_mode=1 force_fs=1"},
    {"/lib/modules/g_file_storage.ko", ""},
    {nullptr, nullptr},
};

constexpr module_entry selda_modules[] = {
    {"/lib/modules/arcotg_udc.ko", ""},
    {"/lib/modules/g_file_storage.ko", ""},
    {nullptr, nullptr},
};

constexpr const char* arc_lun_file = "/sys/devices/platform/arc_udc/gadget/gadget-lun0/file";
constexpr const char* arc_lun_online = "/sys/devices/platform/arc_udc/gadget/gadget-lun0/online";
constexpr const char* fsl_lun_file = "/sys/devices/platform/fsl-usb2-udc/gadget/gadget-lun0/file";
constexpr const char* fsl_lun_online = "/sys/devices/platform/fsl-usb2-udc/gadget/gadget-lun0/online";
constexpr const char* usb_connected = "/sys/devices/platform/arc_udc/connected";
constexpr const char* ethernet_module = "/lib/modules/g_ether.ko";

const module_entry* family_modules() {
    if (is_orvik_platform()) return orvik_modules;
    if (is_selda_platform()) return selda_modules;
    return nullptr;
}

const char* lun_file() { return is_selda_platform() ? fsl_lun_file : arc_lun_file; }
const char* lun_online() { return is_selda_platform() ? fsl_lun_online : arc_lun_online; }

// 1 when path exists; a failure other than a missing file is reported.
int entry_exists(const char* path) {
    struct stat status {};
    if (sys::kernel().stat(path, &status) == 0) return 1;
    if (errno != ENOENT) report_errno(path, errno);
    return 0;
}

}  // namespace

int storage_init() {
    if (g_storage_initialized) return 0;
    const module_entry* modules = family_modules();
    if (modules == nullptr) {
        err("ERROR:%s: you are not orvik or selda. I don't know what to do\n", "storage_init");
        return -EINVAL;
    }
    for (const module_entry* m = modules; m->path != nullptr; ++m) {
        if (!install_module(m->path, m->args)) {
            err("ERROR:%s: failed to load module '%s' with args '%s'\n", "storage_init", m->path, m->args);
            return -EIO;
        }
    }
    g_storage_initialized = 1;
    return 0;
}

int storage_export(const char* path) {
    if (!g_storage_initialized) {
        err("INFO:%s: Must call storage_init before using usb storage\n", "storage_export");
        return -EINVAL;
    }
    if (path == nullptr) {
        err("INFO:%s(): Disabling USB storage\n", "storage_export");
        return gadget_storage_set("");
    }
    struct stat status {};
    if (sys::kernel().stat(path, &status) != 0) {
        const int error_number = errno;
        err("ERROR:%s(%s): stat error: %s (%d)\n", "storage_export", path, std::strerror(error_number),
            error_number);
        return error_number;
    }
    if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)) {
        err("ERROR:%s(%s): Invalid mode 0x%08x\n", "storage_export", path, static_cast<unsigned>(status.st_mode));
        return EINVAL;  // positive, as the other errors of the path itself
    }
    err("INFO:%s(%s): exporting\n", "storage_export", path);
    return gadget_storage_set(path);
}

int gadget_storage_set(const char* path) {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(lun_file(), O_RDWR));
    if (!fd.valid()) {
        const int error_number = errno;
        err("ERROR:%s(%s): open error: %s (%d)\n", "gadget_storage_set", path, std::strerror(error_number),
            error_number);
        return error_number;
    }
    const size_t length = std::strlen(path) + 1;
    const ssize_t written = k.write(fd.get(), path, length);
    if (written < 0 || static_cast<size_t>(written) < length) {
        // A short write leaves errno alone; report the write as failed anyway.
        const int error_number = written < 0 ? errno : EIO;
        err("ERROR:%s(%s): write error: %s (%d)\n", "gadget_storage_set", path, std::strerror(error_number),
            error_number);
        return error_number;
    }
    return 0;
}

int is_usb_storage_online() { return entry_exists(lun_online()); }
int is_usb_connected() { return entry_exists(usb_connected); }

void storage_shutdown() {
    if (!g_storage_initialized) return;
    const module_entry* modules = family_modules();
    if (modules == nullptr) {
        err("ERROR:%s: you are not orvik or selda. I don't know what to do\n", "storage_shutdown");
        return;
    }
    int count = 0;
    while (modules[count].path != nullptr) ++count;
    while (count-- > 0) {
        const char* name = modname(modules[count].path);
        if (sys::kernel().delete_module(name, 0) < 0)
            err("ERROR:%s: failed to unload module %s\n", "storage_shutdown", name);
    }
    // The drivers are gone: should the run go on (a failed hand-off), the
    // next storage_init must load them again instead of trusting the flag.
    g_storage_initialized = 0;
}

int gadget_load_ethernet(const char* host_addr, const char* dev_addr) {
    const int result = storage_init();
    if (result != 0) return result;
    char args[256];
    std::snprintf(args, sizeof args, "host_addr='%s' dev_addr='%s'", host_addr, dev_addr);
    if (install_module(ethernet_module, args)) return 1;
    out("%s: Could not load Ethernet gadget module\n", "gadget_load_ethernet");
    return 0;
}

void report_sync() {
    out("\n(you should have already synced any attached USB hosts)\n");
    out("Syncing... ");
    sys::kernel().sync();
    out("Complete!\n\n\n");
}

}  // namespace qm

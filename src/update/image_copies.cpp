#include "update/image_copies.h"

#include <fcntl.h>

#include <cstring>
#include <memory>
#include <new>

#include "platform/boardid.h"
#include "storage/mtd.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/read_full.h"
#include "sys/unique_fd.h"
#include "update/ckimage.h"
#include "update/copy_file.h"

namespace qm {

namespace {

constexpr const char* copy_error =
    "EMERGENCY:There was one or more errors while copying Kernel and Bootloader images !!!\n";

// Flash requests run under the watchdog: a chip that stops answering
// restarts the reader instead of holding the boot for ever.
constexpr unsigned check_seconds = 15;

[[nodiscard]] int guarded_check(const char* path, const char* label) {
    sys::kernel().alarm(check_seconds);
    const int valid = check_object(path, label);
    sys::kernel().alarm(0);
    return valid;
}

[[nodiscard]] int guarded_unlock(const char* mtd) {
    sys::kernel().alarm(check_seconds);
    const int unlocked = flash_unlock(mtd);
    sys::kernel().alarm(0);
    return unlocked;
}

void guarded_lock(const char* mtd) {
    sys::kernel().alarm(check_seconds);
    (void)flash_lock(mtd);  // reported where it fails; the repair goes on with the next copy
    sys::kernel().alarm(0);
}

void set_bit(uint32_t* flags, uint32_t bit, int value) {
    if (value & 1)
        *flags |= bit;
    else
        *flags &= ~bit;
}

// Copies one partition over its twin; true when it copied.
[[nodiscard]] bool repair(const char* src, const char* mtd, const char* dst, const char* label, const char* done) {
    if (flash_copy_file(src, mtd, dst, label) != 1) return false;
    err("%s", done);
    return true;
}

[[nodiscard]] bool copy_kernels(uint32_t* flags) {
    if (!(*flags & kernel2_exists) || !is_orvik_platform()) {
        err("NOTICE:skipping kernel duplication because there is only one kernel partition.\n");
        return true;
    }
    const bool first = *flags & kernel1_valid;
    const bool second = *flags & kernel2_valid;
    if (first && second) {
        err("INFO:Both kernel images are valid, no copying necessary.\n");
        return true;
    }
    if (first) {
        if (!repair("/dev/mtdblock/1", "/dev/mtd/4", "/dev/mtdblock/4", "Kernel",
                    "INFO:Successfully copied Kernel1 to Kernel2\n"))
            return false;
        *flags |= kernel2_valid;
        return true;
    }
    if (second) {
        if (!repair("/dev/mtdblock/4", "/dev/mtd/1", "/dev/mtdblock/1", "Kernel",
                    "INFO:Successfully copied Kernel2 to Kernel1\n"))
            return false;
        *flags |= kernel1_valid;
        return true;
    }
    err("WARNING:!!! WARNING: no valid kernel image in flash!!!\n");
    return false;
}

// False when the boot-loader step failed and already printed the error line.
[[nodiscard]] bool copy_bootloaders(uint32_t* flags) {
    const bool first = *flags & bootloader1_valid;
    const bool second = *flags & bootloader2_valid;
    if (first && second) {
        err("INFO:Both kernel images are valid, no copying necessary.\n");
        return true;
    }
    if (first) {
        if (!is_orvik_platform()) {
            err("INFO:Both kernel images are valid, no copying necessary.\n");
            return true;
        }
        if (!repair("/dev/mtdblock/0", "/dev/mtd/3", "/dev/mtdblock/3", "Bootloader",
                    "INFO:Successfully copied Bootloader1 to Bootloader2\n")) {
            err("%s", copy_error);
            return false;
        }
        *flags |= bootloader2_valid;
        return true;
    }
    if (second) {
        if (!repair("/dev/mtdblock/3", "/dev/mtd/0", "/dev/mtdblock/0", "Bootloader",
                    "INFO:Successfully copied Bootloader2 to Bootloader1\n")) {
            err("%s", copy_error);
            return false;
        }
        *flags |= bootloader1_valid;
        return true;
    }
    err("WARNING:!!! WARNING: no valid bootloader image in flash!!!\n");
    err("%s", copy_error);
    return false;
}

}  // namespace

void check_images(uint32_t* flags) {
    if (flags == nullptr) {
        err("FATAL:skipping uImage and u-boot CRC checks!\n");
        return;
    }
    ckimage_configure(0, 0, 0);
    set_bit(flags, kernel1_valid, guarded_check("/dev/mtd/1", "Kernel1"));
    sys::kernel().alarm(check_seconds);
    set_bit(flags, kernel2_exists, mtd_exists("/dev/mtd/4"));
    sys::kernel().alarm(0);
    if (*flags & kernel2_exists) {
        set_bit(flags, kernel2_valid, guarded_check("/dev/mtd/4", "Kernel2"));
    } else {
        out("No Kernel2 partition in flash.\n");
        *flags &= ~kernel2_valid;
    }
    set_bit(flags, bootloader1_valid, guarded_check("/dev/mtd/0", "Bootloader1"));
    set_bit(flags, bootloader2_valid, guarded_check("/dev/mtd/3", "Bootloader2"));
}

void copy_images(uint32_t* flags) {
    const bool kernels_good = copy_kernels(flags);
    if (!copy_bootloaders(flags)) return;
    if (!kernels_good) err("%s", copy_error);
}

bool images_sound(uint32_t flags) {
    return (flags & kernel1_valid) && ((flags & kernel2_valid) || !(flags & kernel2_exists)) &&
           (flags & bootloader1_valid) && (flags & bootloader2_valid);
}

bool copies_agree(const char* first_mtd, const char* label, const char* first, const char* second) {
    auto& k = sys::kernel();
    if (!guarded_check(first_mtd, label)) return false;
    k.alarm(check_seconds);
    sys::unique_fd a(k.open(first, O_RDONLY));
    sys::unique_fd b(k.open(second, O_RDONLY));
    k.alarm(0);
    if (!a.valid() || !b.valid()) return false;
    constexpr size_t chunk = 131072;
    std::unique_ptr<uint8_t[]> left(new (std::nothrow) uint8_t[chunk]);
    std::unique_ptr<uint8_t[]> right(new (std::nothrow) uint8_t[chunk]);
    if (!left || !right) return false;
    for (;;) {
        k.alarm(check_seconds);
        const ssize_t got = sys::read_full(a.get(), left.get(), chunk);
        const ssize_t twin = sys::read_full(b.get(), right.get(), chunk);
        k.alarm(0);
        if (got < 0 || got != twin || std::memcmp(left.get(), right.get(), static_cast<size_t>(got)) != 0) return false;
        if (got == 0) return true;
    }
}

int flash_copy_file(const char* src, const char* mtd, const char* dst, const char* label) {
    if (src == nullptr || mtd == nullptr || dst == nullptr) {
        err("ERROR:NULL was passed to %s\n", "flash_copy_file");
        return 0;
    }
    if (!guarded_unlock(mtd)) {
        err("ERROR:Cannot write %s to NOR flash\n", label);
        guarded_lock(mtd);
        return 0;
    }
    // copy_file guards each of its chunks.
    if (copy_file(src, dst, 131072, 1, 0)) {
        guarded_lock(mtd);
        return 1;
    }
    err("WARNING:Could not copy %s ('%s' to '%s')\n", label, src, dst);
    err("EMERGENCY:\a*** %s may be corrupt and device may not reboot properly until this is resolved! ***\n", label);
    guarded_lock(mtd);
    return -1;
}

}  // namespace qm

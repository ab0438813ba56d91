#include "boot/menu.h"

#include "boot/battery_lockout.h"
#include "boot/handoff.h"
#include "boot/provision.h"
#include "diag/dmesg.h"
#include "display/eink.h"
#include "display/screens.h"
#include "input/erasecheck.h"
#include "input/readkey.h"
#include "input/rpscrambler.h"
#include "storage/diskutil.h"
#include "storage/gadget.h"
#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "update/update.h"
#include "update/update_log.h"

namespace qm {

namespace {

constexpr const char* internal_mmc = "/dev/mmcblk0";
constexpr const char* user_store = "/dev/mmcblk0p4";

constexpr const char* developer_menu_text =
    "\n\nDeveloper Menu\n====\n3. Load MMC0 over USB storage\n4. Erase MMC0\n"
    "I. Initialize Partition Table (fdisk) and format FAT\nO. Format and overwrite FAT partition\n"
    "E. Export FAT partition\nU. Update using update*.bin file on FAT partition\n"
    "M. Update using update*.bin file on FAT partition of second MMC port\n"
    "D. dmesg / kernel printk ring buffer.\nL. Show the log of the last update (update-log.txt)\nQ. quit\n"
    "Choose: ";

// How long the storage menu waits for a host to come: a reader whose
// console hung up, or whose owner confirmed a factory reset and walked
// away, must not stay exported on its battery for ever. The menu then ends
// as "1. done" does. A host that came is waited for until it goes, however
// long: the medium must not be withdrawn under a host that may be writing,
// and the host powers the reader.
constexpr int host_wait_seconds = 600;

// Keys that only show the menu again.
bool is_idle_key(char key) {
    return key == 8 || key == '\n' || key == '\r' || key == ' ' || key == '/';
}

// Exports path, runs the storage menu and withdraws the export; 1 when the
// export worked.
int export_over_usb(const char* path, const char* label) {
    if (storage_export(path) != 0) {
        // Without a line feed, as readers have always printed it: service
        // scripts that watch the console match this text as it is, and the
        // menu that follows starts on a new line anyway.
        err("INFO:%s: storage_export(%s) failed", "main_menu", path);
        return 0;
    }
    storage_menu(label);
    // Withdrawing the export reports its own failure; the menu goes on.
    (void)storage_export(nullptr);
    return 1;
}

void update_from(int (*mount)(), int (*unmount)()) {
    if (!mount()) {
        err("ERROR:Cannot update because I cannot mount rootfs\n");
        return;
    }
    // The update and the unmount report on the console; the menu comes
    // back either way.
    (void)update_os(nullptr, 1);
    (void)unmount();
}

void show_update_log() {
    if (!mount_dosfs()) {
        err("ERROR:Cannot show the update log because I cannot mount the user store\n");
        return;
    }
    update_log_show();
    (void)unmount_dosfs();  // reports its own failure; the menu comes back either way
}

// Carries out one menu entry; false when the user quits. Every entry
// reports its own outcome on the console and the menu comes back after
// it, so their results are dropped on purpose.
bool act(char key) {
    switch (key) {
        case '3':
            if (!check_pass()) {
                err("INFO:invalid password!\n");
                break;
            }
            // The host may have written a new table: let the kernel read it.
            if (export_over_usb(internal_mmc, "MMC0")) (void)reread_partition(-1, internal_mmc);
            break;
        case '4': (void)erase_dev(internal_mmc, "MMC0"); break;
        case 'D':
        case 'd': dmesg_display(1); break;
        case 'E':
        case 'e': (void)export_over_usb(user_store, "FAT32"); break;
        case 'I':
        case 'i':
            (void)partition_disk(internal_mmc, "MMC0");
            (void)run_mkfs(internal_mmc);
            break;
        case 'J':
        case 'j': err("INFO:Erase check returned %d\n", erasecheck()); break;
        case 'L':
        case 'l': show_update_log(); break;
        case 'M':
        case 'm': update_from(mount_mmc, unmount_mmc); break;
        case 'O':
        case 'o': (void)run_mkfs(internal_mmc); break;
        case 'R':
        case 'r': quillmar_shutdown(1); break;
        case 'U':
        case 'u': update_from(mount_dosfs, unmount_dosfs); break;
        case 'Q':
        case 'q':
        case 'X':
        case 'x': return false;
        default:
            if (!is_idle_key(key)) out("Unknown option '%c'\n\n", key);
            break;
    }
    return true;
}

}  // namespace

void main_menu() {
    auto& k = sys::kernel();
    for (;;) {
        k.alarm(15);
        (void)eink_display_image(0, 0, 0);  // the console menu works without the panel
        k.alarm(0);
        dump_gasgauge();
        out("%s", developer_menu_text);
        char key = 0;
        if (!read_key(&key, 10, nullptr, 0, 1)) {
            out("\nMenu timeout\n");
            default_boot();
            continue;
        }
        out("\n\n");
        if (!act(key)) return;
    }
}

void storage_menu(const char* label) {
    auto& k = sys::kernel();
    (void)eink_screen(screen_usb_storage);  // the console shows the same menu
    const time_t host_deadline = k.time(nullptr) + host_wait_seconds;
    int awaited = 1;
    for (;;) {
        dump_gasgauge();
        out("\n[%s]\n1. done\nR. reboot\nChoose: ", label);
        char key = 0;
        int state = 0;
        if (!read_key(&key, 30, &state, awaited, 0)) {
            if (awaited == 1 && k.time(nullptr) >= host_deadline) {
                err("INFO:No USB host came within %d seconds, leaving the storage menu\n", host_wait_seconds);
                return;
            }
            out("still alive...\n");
            continue;
        }
        out("\n\n");
        if (key == 0) {
            if (awaited == 1) {
                out("\nUSB CONNECTED!!\n");
                awaited = 0;
                continue;
            }
            out("\nUSB DISCONNECTED!!\n");
            return;
        }
        if (key == '1') return;
        if (key == 'R' || key == 'r') {
            quillmar_shutdown(1);
            return;
        }
        if (!is_idle_key(key)) out("Unknown option '%c'\n\n", key);
    }
}

}  // namespace qm

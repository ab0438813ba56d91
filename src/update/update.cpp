#include "update/update.h"

#include <fnmatch.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "battery/gasgauge.h"
#include "storage/block_check.h"
#include "display/bar.h"
#include "display/eink.h"
#include "display/screens.h"
#include "platform/boardid.h"
#include "storage/mount.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "update/copy_file.h"
#include "update/image_copies.h"
#include "update/install_journal.h"
#include "update/remove_file.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"
#include "update/update_log.h"

namespace qm {

namespace {

constexpr const char* bundle_dir = "/mnt-us/";
constexpr const char* bundle_glob = "update*.bin";
constexpr const char* diagsfs_temp = "/diagsfs.img";
constexpr const char* diags_marker = "/mnt-rootfs/ENABLE_DIAGS";
constexpr int lowest_charge = 15;

enum class Mode { normal, diags, singlekernel };

constexpr const char* diags_message = "INFO:*** DIAGS MODE MEANS WE UPDATE BOTH KERNELS AND BOTH BOOTLOADERS ***\n";

[[nodiscard]] Mode mode_of(const std::string& name) {
    if (name.find("diags") != std::string::npos) return Mode::diags;
    if (name.find("singlekernel") != std::string::npos) return Mode::singlekernel;
    return Mode::normal;
}

// A bundle is a file whose name matches: a folder of the owner's that is
// named like one is never opened, counted, renamed or removed.
[[nodiscard]] bool is_bundle(const char* dir, const std::string& name) {
    if (fnmatch(bundle_glob, name.c_str(), 0) != 0) return false;
    std::string path = dir;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    struct stat status {};
    return sys::kernel().stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// The first bundle in directory order, or "" when there is none.
[[nodiscard]] std::string first_bundle(sys::Directory& dir) {
    std::string name;
    while (dir.next(name) > 0)
        if (is_bundle(bundle_dir, name)) return name;
    return "";
}

// update_ok when the battery allows an update, else the result code of the
// refusal.
[[nodiscard]] int battery_refusal(int skip_battery_check) {
    if (skip_battery_check) {
        err("INFO:Skipping battery charge check\n");
        return 0;
    }
    auto* gauge = gasgauge_open();
    if (gauge == nullptr) {
        err("ERROR:Could not access gasgauge\n");
        return update_no_gauge;
    }
    const int charge = gasgauge_charge_percent(gauge);
    out("Charge: %u%% ", static_cast<unsigned>(charge));
    draw_bar_text(60, static_cast<uint32_t>(charge), 100);
    err("\n");
    gasgauge_close(gauge);
    if (charge < lowest_charge) {
        err("Skipping update because battery is low. (%u%% is below %u%%)\n", static_cast<unsigned>(charge),
            static_cast<unsigned>(lowest_charge));
        return update_battery_low;
    }
    return update_ok;
}

// True when the kernel and boot-loader copies are sound afterwards.
bool recheck_images(Mode mode, uint32_t* flags) {
    bool copied = false;
    if (mode == Mode::diags) {
        err("%s", diags_message);
        // The second copies are refreshed from the first ones, but only from
        // a first copy that holds an image: one this boot could not repair,
        // and the bundle did not replace, would tear its intact twin and
        // leave the board nothing to start from. Only the NOR-boot family
        // has the copies to check.
        if (is_orvik_platform()) {
            check_images(flags);
            if (*flags & kernel1_valid) *flags &= ~kernel2_valid;
            if (*flags & bootloader1_valid) *flags &= ~bootloader2_valid;
        }
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
    const bool sound = images_sound(*flags);
    if (copied && !sound)
        err("EMERGENCY:There are missing Kernel and/or Bootloader images and the device may fail to reboot\n");
    return sound;
}

// Installs the diagnostics image the bundle left behind; false when it
// could not (the caller then reports nothing installed).
[[nodiscard]] bool install_diagsfs() {
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
        // Clearing up after the failure already reported: a half copy left
        // behind is overwritten by the next install, the temporary file is
        // removed again at the start of the next update.
        (void)k.unlink("/mnt-rootfs/diagsfs.img");
        (void)unmount_rootfs();  // it detaches lazily when it cannot unmount
        (void)k.unlink(diagsfs_temp);
        return false;
    }
    (void)unmount_rootfs();  // the copy is synced; a busy mount is detached lazily
    return true;
}

// After an update that failed or was cut short, the second kernel and
// boot-loader copies may be what the board has left to start from: check
// them and repair what is torn. The MMC-boot family has no second copies.
void repair_copies_after_failure() {
    if (!is_orvik_platform()) return;
    uint32_t flags = 0;
    (void)recheck_images(Mode::normal, &flags);  // reported when the copies stay unsound
}

[[nodiscard]] bool disable_diags() {
    if (!mount_rootfs()) {
        err("EMERGENCY:Could not set as non-diags\n");
        return false;
    }
    if (sys::kernel().unlink(diags_marker) == 0 || errno == ENOENT)
        err("INFO:Disabled diags.\n");
    else
        report_errno(diags_marker, errno);
    (void)unmount_rootfs();  // it detaches lazily when it cannot unmount
    return true;
}

// The journal an earlier update left, sorted against the bundle found now
// (name, at path; empty when there is none). True when it belongs to that
// bundle: its update was cut short and is to run again. A journal whose
// bundle is gone, or was replaced, belongs to an update that can no longer
// finish: it is removed, and the kernel and boot-loader copies that update
// may have torn are checked and repaired.
[[nodiscard]] bool journal_of_bundle(const std::string& name, const char* path, install_journal& journal) {
    const int found = install_journal_read(install_journal_path, &journal);
    if (found == 0) return false;
    struct stat status {};
    const bool same_bundle = !name.empty() && sys::kernel().stat(path, &status) == 0 &&
                             (found < 0 || (name == journal.bundle && status.st_size == journal.bundle_size));
    if (same_bundle) {
        // A damaged journal beside its bundle: at least one boot began it.
        if (found < 0) {
            journal = {};
            journal.boots = 1;
        }
        return true;
    }
    err("INFO:An update of %s did not finish and its bundle is gone\n",
        found > 0 ? journal.bundle : "an unknown bundle");
    // Removed first, so that a repair that hangs cannot bring every later
    // boot back here. A journal that stays (reported) only brings the next
    // boot back to this repair.
    (void)install_journal_remove(install_journal_path);
    repair_copies_after_failure();
    journal = {};
    return false;
}

// Counts this boot in the journal and writes it before anything else is
// written; false when it could not be written (reported).
[[nodiscard]] bool begin_journal(const std::string& name, const char* path, install_journal& journal) {
    struct stat status {};
    std::snprintf(journal.bundle, sizeof journal.bundle, "%s", name.c_str());
    journal.bundle_size = sys::kernel().stat(path, &status) == 0 ? status.st_size : 0;
    ++journal.boots;
    if (install_journal_write(install_journal_path, journal)) return true;
    err("ERROR:Could not record the update in %s; not installing %s\n", install_journal_path, path);
    return false;
}

void keep_for_next_boot(const char* path, const install_journal& journal) {
    err("INFO:Keeping %s to try again at the next boot (%u of %u boots used)\n", path, journal.boots,
        install_most_boots);
}

// A bundle whose content failed the check pass or the verdict is deleted.
// When an earlier boot had passed its verdict, whatever that boot wrote
// stays.
void drop_refused(const char* path, const install_journal& journal) {
    if (journal.verified != 0)
        err("EMERGENCY:\a*** The unfinished update of %s can no longer be installed and the device may not "
            "reboot properly until another update is installed! ***\n",
            path);
    // Both report a failure; a bundle left behind is refused again at the
    // next boot.
    (void)remove_file(path);
    (void)install_journal_remove(install_journal_path);
}

// The update began on as many boots as it may and never finished: the
// bundle goes, and the boot goes on with the system as it is.
void give_up(const char* path, const install_journal& journal) {
    err("ERROR:The update of %s did not finish in %u boots; giving it up\n", path, journal.boots);
    // Both report a failure; the boot goes on either way.
    (void)remove_file(path);
    (void)install_journal_remove(install_journal_path);
    repair_copies_after_failure();
}

}  // namespace

int has_multiple_updates(const char* dir) {
    auto& k = sys::kernel();
    k.alarm(15);
    int count = 0;
    if (auto entries = k.opendir(dir)) {
        std::string name;
        while (entries->next(name) > 0) {
            if (!is_bundle(dir, name)) continue;
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

namespace {

// update_os without its log: what it learns goes to attempt.
int attempt_update(int* result, int skip_battery_check, update_attempt& attempt) {
    auto& k = sys::kernel();
    update_config config{"/dev/mtdblock/1", "/dev/mtd/1", "/dev/mmcblk0p1", "/dev/mtdblock/0", "/dev/mtd/0", 0, nullptr, nullptr};

    auto dir = k.opendir(bundle_dir);
    if (!dir) {
        err("INFO:No update*.bin found, no update needed.\n");
        set_result(result, update_ok);
        return 0;
    }
    if (has_multiple_updates(bundle_dir) > 1) {
        err("ERROR:Refusing to update: too many update files found.\n");
        set_result(result, update_too_many_bundles);
        return 0;
    }
    const std::string name = first_bundle(*dir);
    attempt.bundle = name;
    dir.reset();
    char path[4096];
    std::snprintf(path, sizeof path, "%s%s", bundle_dir, name.c_str());
    install_journal_session& session = attempt.session;
    install_journal& journal = session.journal;
    const bool resuming = journal_of_bundle(name, path, journal);
    if (name.empty()) {
        err("INFO:No update*.bin found, no update needed.\n");
        set_result(result, update_ok);
        return 0;
    }
    if (resuming && journal.boots >= install_most_boots) {
        give_up(path, journal);
        set_result(result, update_given_up);
        return 0;
    }
    const Mode mode = mode_of(name);
    if (const int refusal = battery_refusal(skip_battery_check); refusal != update_ok) {
        set_result(result, refusal);
        return 0;
    }

    err("INFO:Found bundle %s\n", path);
    if (resuming)
        err("INFO:The update of %s did not finish; starting it again (boot %u of %u)\n", path, journal.boots + 1,
            install_most_boots);
    // Counted before anything can hang: a restart by the watchdog is a boot
    // of this update too.
    if (!begin_journal(name, path, journal)) {
        // Nothing was written, and a store that is full stays full: waiting
        // for R and rebooting would bring every boot back here. The bundle
        // stays for when there is room, and the boot goes on.
        set_result(result, update_failed);
        return 0;
    }
    k.alarm(15);
    // The panel is a courtesy: a reader whose display does not start still
    // installs, with its progress on the console.
    (void)eink_init();
    (void)eink_screen(screen_updating);
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

    config.before_install = install_journal_record_verified;
    config.before_install_context = &session;
    // A bundle that could not even be opened leaves the code alone.
    int code = unbundle_unreadable;
    if (!unbundle(path, &config, &code)) {
        err("ERROR:Could not unbundle %s\n", path);
        if (code == unbundle_refused)
            drop_refused(path, journal);
        else
            keep_for_next_boot(path, journal);
        repair_copies_after_failure();
        set_result(result, update_failed);
        return -1;
    }
    config.image_flags |= kernel1_valid | bootloader1_valid;
    set_result(result, update_ok);

    // The MMC-boot family has no second copies to keep.
    const bool copies_sound = recheck_images(mode, &config.image_flags) || !is_orvik_platform();

    // The diagnostics image lives in RAM until it is copied: the bundle
    // stays until then, so that a failure or a power cut here is retried.
    const bool diagsfs_left = k.access(diagsfs_temp, R_OK) == 0;
    if (diagsfs_left ? !install_diagsfs() : mode != Mode::diags && !disable_diags()) {
        keep_for_next_boot(path, journal);
        return 0;
    }

    if (k.unlink(diagsfs_temp) == 0 || errno == ENOENT)
        err("INFO:removed temp diagsfs.img file.\n");
    else
        report_errno(diagsfs_temp, errno);
    // The journal goes only with the bundle: a bundle that stays behind is
    // then installed again a bounded number of times, not at every boot.
    // A journal left behind (reported) is cleared at the next boot, which
    // finds its bundle gone.
    // A copy that could not be repaired now (a flash that failed for a
    // while) is repaired by the next boot, which finds the journal without
    // its bundle.
    if (remove_file(path)) {
        if (copies_sound)
            (void)install_journal_remove(install_journal_path);
        else
            err("INFO:Keeping %s so that the next boot repairs the kernel and boot-loader copies\n",
                install_journal_path);
    }
    err("INFO:bundle %s was successful\n", path);
    return 1;
}

}  // namespace

int update_os(int* result, int skip_battery_check) {
    update_attempt attempt;
    int code = update_ok;
    const int installed = attempt_update(&code, skip_battery_check, attempt);
    // The log is for whoever supports the reader; the update's outcome does
    // not depend on it (a store without room gets none, reported).
    (void)update_log_write(attempt, installed, code);
    set_result(result, code);
    return installed;
}

}  // namespace qm

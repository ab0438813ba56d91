#include "update/update.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "battery/gasgauge.h"
#include "display/bar.h"
#include "display/eink.h"
#include "display/screens.h"
#include "platform/boardid.h"
#include "storage/block_check.h"
#include "storage/mount.h"
#include "storage/mtd.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/copy_file.h"
#include "update/gz_source.h"
#include "update/image_copies.h"
#include "update/image_room.h"
#include "update/install_journal.h"
#include "update/remove_file.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"
#include "update/update_log.h"
#include "update/update_panel.h"

namespace qm {

namespace {

constexpr const char* bundle_dir = "/mnt-us/";
constexpr const char* bundle_glob = "update*.bin";
constexpr const char* diagsfs_temp = "/diagsfs.img";
constexpr const char* diags_marker = "/mnt-rootfs/ENABLE_DIAGS";
constexpr int lowest_charge = 15;
constexpr size_t diagsfs_chunk = 1048576;

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

// True when the kernel and boot-loader copies are sound afterwards. Only the
// NOR-boot family has copies to check: on the other one there is nothing
// in flash, and a check would only report images missing that never were.
bool recheck_images(Mode mode, uint32_t* flags) {
    if (!is_orvik_platform()) return true;
    bool copied = false;
    if (mode == Mode::diags) {
        err("%s", diags_message);
        // The second copies are refreshed from the first ones, but only from
        // a first copy that holds an image: one this boot could not repair,
        // and the bundle did not replace, would tear its intact twin and
        // leave the board nothing to start from.
        check_images(flags);
        if (*flags & kernel1_valid) *flags &= ~kernel2_valid;
        if (*flags & bootloader1_valid) *flags &= ~bootloader2_valid;
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

// A gzip diagnostics image is inflated on its way to its partition; one
// whose stream is damaged, or that does not fit once inflated, would tear
// the partition half-way. It is read through to its end before the first
// byte is written. True when it can be copied whole.
[[nodiscard]] bool diagsfs_inflates(uint64_t room) {
    auto& k = sys::kernel();
    k.alarm(30);
    sys::unique_fd fd(k.open(diagsfs_temp, O_RDONLY));
    if (!fd.valid()) return true;  // the copy reports it
    GzSource content(fd.get());
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[diagsfs_chunk]);
    if (!buffer) return true;  // the copy finds out for itself
    uint64_t total = 0;
    for (;;) {
        k.alarm(30);
        const long n = content.read(buffer.get(), diagsfs_chunk);
        if (n == 0) break;
        if (n < 0) {
            if (content.error_number() != 0) return true;  // a read error, not the image: the copy retries
            err("ERROR:%s:%s\n", diagsfs_temp, content.message().c_str());
            return false;
        }
        total += static_cast<uint64_t>(n);
    }
    k.alarm(0);
    if (room == 0 || total <= room) return true;
    err("ERROR:%s:%llu bytes once inflated, more than the %llu bytes of its partition\n", diagsfs_temp,
        static_cast<unsigned long long>(total), static_cast<unsigned long long>(room));
    return false;
}

enum class diagsfs_outcome { installed, failed, damaged };

// Installs the diagnostics image the bundle left behind.
[[nodiscard]] diagsfs_outcome install_diagsfs(update_config& config) {
    auto& k = sys::kernel();
    err("INFO:Installation had diagsfs.img, installing it.\n");
    if (check_diagsfs_partition() == 0) {
        if (!diagsfs_inflates(shared_image_room(image_diagsfs, &config))) {
            err("EMERGENCY:Could not install diagsfs.img:the image cannot be installed whole.\n");
            return diagsfs_outcome::damaged;
        }
        config.written_images |= 1u << image_diagsfs;
        if (!copy_file(diagsfs_temp, "/dev/mmcblk0p3", diagsfs_chunk, 1, 0)) {
            err("EMERGENCY:Could not install diagsfs.img:could not copy to partition.\n");
            return diagsfs_outcome::failed;
        }
        return diagsfs_outcome::installed;
    }
    if (!mount_rootfs()) {
        err("EMERGENCY:Could not install diagsfs.img:rootfs could not be mounted.\n");
        return diagsfs_outcome::failed;
    }
    config.written_images |= 1u << image_diagsfs;
    if (!copy_file(diagsfs_temp, "/mnt-rootfs/diagsfs.img", diagsfs_chunk, 1, 1)) {
        err("EMERGENCY:Could not install diagsfs.img:could not copy file.\n");
        // Clearing up after the failure already reported: a half copy left
        // behind is overwritten by the next install, the temporary file is
        // removed again at the start of the next update.
        (void)k.unlink("/mnt-rootfs/diagsfs.img");
        (void)unmount_rootfs();  // it detaches lazily when it cannot unmount
        (void)k.unlink(diagsfs_temp);
        return diagsfs_outcome::failed;
    }
    (void)unmount_rootfs();  // the copy is synced; a busy mount is detached lazily
    return diagsfs_outcome::installed;
}

// After an update that failed or was cut short, the second kernel and
// boot-loader copies may be what the board has left to start from: check
// them and repair what is torn. The MMC-boot family has no second copies.
void repair_copies_after_failure() {
    if (!is_orvik_platform()) return;
    uint32_t flags = 0;
    (void)recheck_images(Mode::normal, &flags);  // reported when the copies stay unsound
}

// The unfinished images that are whole again: on the NOR-boot family a
// kernel or boot loader whose first copy agrees with its second one (the
// repair put it back from its twin, which an update never writes, or it was
// never rewritten) holds its old image. A root file system or diagnostics
// image cannot be told apart from a torn one, so nothing is looked at then.
[[nodiscard]] uint32_t settled(uint32_t unfinished) {
    constexpr uint32_t kernel = 1u << image_uimage;
    constexpr uint32_t bootloader = 1u << image_uboot;
    if (unfinished == 0 || !is_orvik_platform() || (unfinished & ~(kernel | bootloader)) != 0) return unfinished;
    repair_copies_after_failure();
    if ((unfinished & kernel) && mtd_exists("/dev/mtd/4") &&
        copies_agree("/dev/mtd/1", "Kernel1", "/dev/mtdblock/1", "/dev/mtdblock/4"))
        unfinished &= ~kernel;
    if ((unfinished & bootloader) && copies_agree("/dev/mtd/0", "Bootloader1", "/dev/mtdblock/0", "/dev/mtdblock/3"))
        unfinished &= ~bootloader;
    return unfinished;
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

// The names of the images of a mask, for the console.
[[nodiscard]] std::string image_names(uint32_t mask) {
    std::string names;
    for (int type = 0; type < image_type_count; ++type)
        if (mask & (1u << type)) names += std::string(names.empty() ? "" : ", ") + bundle_info_name(type);
    if (mask & journal_unknown_images) names += names.empty() ? "images not recorded" : ", images not recorded";
    return names;
}

// The journal an earlier boot left, sorted against the bundle found now
// (name, at path; empty when there is none). True when it belongs to that
// bundle: its update was cut short and is to run again. A journal whose
// bundle is gone, or was replaced, belongs to an update that can no longer
// finish: the kernel and boot-loader copies it may have torn are checked
// and repaired, and it is removed where the system is whole. Otherwise what
// it left unfinished is carried to the journal of the next bundle, and
// until an update has rewritten those images the reader is held.
[[nodiscard]] bool journal_of_bundle(const std::string& name, const char* path, install_journal_session& session) {
    install_journal& journal = session.journal;
    const int found = install_journal_read(session.path, &journal);
    if (found == 0) {
        journal = {};
        return false;
    }
    struct stat status {};
    const bool bundle_there = !name.empty() && sys::kernel().stat(path, &status) == 0;
    if (found < 0) {
        journal = {};
        if (bundle_there) {
            // A damaged journal beside its bundle: at least one boot began
            // it, and what that boot wrote cannot be told.
            journal.boots = 1;
            journal.unfinished = journal_unknown_images;
            return true;
        }
        err("WARNING:%s is damaged and its bundle is gone: what its update wrote cannot be told\n", session.path);
        (void)install_journal_remove(session.path);
        repair_copies_after_failure();
        return false;
    }
    if (bundle_there && name == journal.bundle && status.st_size == journal.bundle_size) return true;
    if (journal.installed && journal.unfinished == 0) {
        // Installed; kept only because a flash copy could not be repaired.
        err("INFO:The update of %s was installed; checking the kernel and boot-loader copies again\n", journal.bundle);
        (void)install_journal_remove(session.path);
        repair_copies_after_failure();
        journal = {};
        return false;
    }
    if (!journal.installed) err("INFO:An update of %s did not finish and its bundle is gone\n", journal.bundle);
    if (journal.unfinished == 0) {
        // Nothing was written. Removed first, so that a repair that hangs
        // cannot bring every later boot back here.
        (void)install_journal_remove(session.path);
        repair_copies_after_failure();
        journal = {};
        return false;
    }
    uint32_t unfinished = settled(journal.unfinished);
    if (unfinished == 0) {
        err("INFO:Its kernel and boot-loader copies hold their old images again\n");
        (void)install_journal_remove(session.path);
        journal = {};
        return false;
    }
    err("EMERGENCY:\a*** The update of %s left %s unfinished: the system on the device is not whole until an "
        "update that carries them is installed ***\n",
        journal.bundle, image_names(unfinished).c_str());
    // Images the journal could not name may be any of them for another
    // bundle.
    if (unfinished & journal_unknown_images) unfinished = (unfinished & ~journal_unknown_images) | journal_all_images;
    const journal_panel panel = journal.panel;
    journal = {};
    journal.unfinished = unfinished;
    journal.panel = panel;
    return false;
}

void keep_for_next_boot(const char* path, const install_journal& journal) {
    err("INFO:Keeping %s to try again at the next boot (%u of %u boots used)\n", path, journal.boots,
        install_most_boots);
}

// The update began writing and cannot finish at this boot: the reader is
// held in recovery, never handed over to what is on the device. When the
// bundle can never succeed (refused, or an image that cannot be installed
// whole) it is removed, and only a new bundle can end the hold; otherwise
// the journal grants the next power-up one more try.
[[nodiscard]] int hold(const char* path, install_journal_session& session, bool bundle_useless, int* result) {
    install_journal& journal = session.journal;
    if (bundle_useless && path[0] != '\0') {
        err("ERROR:%s can never be installed whole; removing it\n", path);
        (void)remove_file(path);  // reported; a bundle left behind is refused again
    } else if (journal.bundle[0] != '\0' && journal.boots >= install_most_boots) {
        journal.boots = install_most_boots - 1;
        // Reported when it fails; the next power-up then holds again.
        (void)install_journal_write(session.path, journal);
    }
    err("EMERGENCY:\a*** The system on the device is not whole (%s unfinished): holding the reader in recovery "
        "***\n",
        image_names(journal.unfinished).c_str());
    set_result(result, update_held);
    return -1;
}

// The update could not be installed at this boot (code: unbundle's). The
// images were marked unfinished before the first byte; those this boot
// never began to write (config.written_images) are as they were. A bundle
// that can never succeed goes, and where it (or an earlier update) left
// the system unfinished the reader is held; otherwise it is kept for the
// next boot.
[[nodiscard]] int install_failed(const char* path, int code, uint32_t prior, const update_config& config,
                                 install_journal_session& session, int* result) {
    install_journal& journal = session.journal;
    if (const uint32_t unfinished = prior | config.written_images; unfinished != journal.unfinished) {
        journal.unfinished = unfinished;
        (void)install_journal_write(session.path, journal);  // reported; the marks then stay, as after a cut
    }
    repair_copies_after_failure();
    const bool useless = code == unbundle_refused || code == unbundle_damaged;
    if (useless && journal.unfinished != 0) return hold(path, session, true, result);
    if (useless) {
        // Both report a failure; a bundle left behind is refused again at
        // the next boot.
        (void)remove_file(path);
        (void)install_journal_remove(session.path);
    } else {
        keep_for_next_boot(path, journal);
    }
    set_result(result, update_failed);
    return -1;
}

// The update began on as many boots as it may and never finished. When it
// had written nothing (or the kernel and boot-loader copies put back what
// it wrote), the bundle goes and the boot goes on with the system as it is;
// otherwise the reader is held.
[[nodiscard]] int give_up(const char* path, install_journal_session& session, int* result) {
    install_journal& journal = session.journal;
    journal.unfinished = settled(journal.unfinished);
    if (journal.unfinished != 0) {
        err("ERROR:The update of %s did not finish in %u boots\n", path, journal.boots);
        return hold(path, session, false, result);
    }
    err("ERROR:The update of %s did not finish in %u boots; giving it up\n", path, journal.boots);
    // Both report a failure; the boot goes on either way.
    (void)remove_file(path);
    (void)install_journal_remove(session.path);
    repair_copies_after_failure();
    set_result(result, update_given_up);
    return 0;
}

// After every image is in place: the copies, the diagnostics switch, the
// bundle and the journal. 1 installed at this boot (the reader restarts
// into it), 0 nothing more to restart for (the diagnostics switch could not
// be made and is tried again at the next boot, or a bundle installed at an
// earlier boot cannot be removed), -1 held.
[[nodiscard]] int finish_installed(const char* path, Mode mode, update_config& config, install_journal_session& session,
                                   bool installed_now, int* result) {
    auto& k = sys::kernel();
    install_journal& journal = session.journal;
    config.image_flags |= kernel1_valid | bootloader1_valid;
    // The MMC-boot family has no second copies to keep.
    const bool copies_sound = recheck_images(mode, &config.image_flags);
    // A bundle with a diagnostics image leaves diagnostics mode as it is.
    const bool had_diagsfs = journal.verified & (1u << image_diagsfs);
    if (mode != Mode::diags && !had_diagsfs && !disable_diags()) {
        if (journal.boots < install_most_boots) {
            // Restarted into the new system first, if it was installed now.
            keep_for_next_boot(path, journal);
            set_result(result, update_ok);
            return installed_now ? 1 : 0;
        }
        err("WARNING:Diagnostics mode could not be switched off in %u boots; the update is installed\n", journal.boots);
    }
    if (k.unlink(diagsfs_temp) == 0 || errno == ENOENT)
        err("INFO:removed temp diagsfs.img file.\n");
    else
        report_errno(diagsfs_temp, errno);
    // The journal goes only with the bundle: a bundle that stays behind is
    // then installed again a bounded number of times, not at every boot.
    // A journal left behind (reported) is cleared at the next boot, which
    // finds its bundle gone. A copy that could not be repaired now (a flash
    // that failed for a while) is repaired by the next boot, which finds
    // the journal without its bundle.
    set_result(result, update_ok);
    if (!remove_file(path)) {
        // The journal stays, so that the next boots do not install it again;
        // they have nothing to restart for.
        err("INFO:bundle %s was successful\n", path);
        return installed_now ? 1 : 0;
    }
    if (journal.unfinished != 0) return hold("", session, false, result);
    if (copies_sound)
        (void)install_journal_remove(session.path);
    else
        err("INFO:Keeping %s so that the next boot repairs the kernel and boot-loader copies\n", session.path);
    err("INFO:bundle %s was successful\n", path);
    return 1;
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

    k.alarm(15);
    auto dir = k.opendir(bundle_dir);
    k.alarm(0);
    if (!dir) {
        err("INFO:No update*.bin found, no update needed.\n");
        set_result(result, update_ok);
        return 0;
    }
    install_journal_session& session = attempt.session;
    session.path = install_journal_place();
    install_journal& journal = session.journal;
    if (has_multiple_updates(bundle_dir) > 1) {
        err("ERROR:Refusing to update: too many update files found.\n");
        // The journal still says whether the system may be handed over; it
        // stays as it is for the boot that finds one bundle.
        if (install_journal_read(session.path, &journal) > 0 && journal.unfinished != 0) {
            err("EMERGENCY:\a*** An update of %s did not finish ***\n", journal.bundle);
            journal = {};
            return hold("", session, false, result);
        }
        set_result(result, update_too_many_bundles);
        return 0;
    }
    k.alarm(15);
    const std::string name = first_bundle(*dir);
    k.alarm(0);
    attempt.bundle = name;
    dir.reset();
    char path[4096];
    std::snprintf(path, sizeof path, "%s%s", bundle_dir, name.c_str());
    const bool resuming = journal_of_bundle(name, path, session);
    if (name.empty()) {
        if (journal.unfinished != 0) return hold("", session, false, result);
        err("INFO:No update*.bin found, no update needed.\n");
        set_result(result, update_ok);
        return 0;
    }
    if (resuming && journal.boots >= install_most_boots && !journal.installed) return give_up(path, session, result);
    const Mode mode = mode_of(name);
    if (const int refusal = battery_refusal(skip_battery_check); refusal != update_ok) {
        // The boot did not try: nothing is counted. A system that is not
        // whole is still not handed over.
        if (journal.unfinished != 0) return hold("", session, false, result);
        set_result(result, refusal);
        return 0;
    }

    err("INFO:Found bundle %s\n", path);
    if (resuming && journal.boots > 0)
        err("INFO:The update of %s did not finish; starting it again (boot %u of %u)\n", path, journal.boots + 1,
            install_most_boots);
    std::snprintf(journal.bundle, sizeof journal.bundle, "%s", name.c_str());
    struct stat status {};
    journal.bundle_size = k.stat(path, &status) == 0 ? status.st_size : 0;
    // This boot tries once the panel is up (or left out) and its try is on
    // the medium; then it counts, and a restart by the watchdog from here on
    // is a try too. A boot that cannot record it installs nothing.
    bool recorded = update_panel_start_noted(session);
    if (recorded) {
        ++journal.boots;
        recorded = install_journal_write(session.path, journal) != 0;
    }
    if (!recorded) {
        err("ERROR:Could not record the update in %s; not installing %s\n", session.path, path);
        if (journal.unfinished != 0) {
            journal.bundle[0] = '\0';  // what is on the medium stays as it is
            return hold("", session, false, result);
        }
        // Nothing was written, and a store that is full stays full: waiting
        // for R and rebooting would bring every boot back here. The bundle
        // stays for when there is room, and the boot goes on.
        set_result(result, update_failed);
        return 0;
    }
    if (update_panel_up()) {
        k.alarm(15);
        (void)eink_screen(screen_updating);  // the panel is a courtesy
        k.alarm(0);
    }

    if (journal.installed) {
        err("INFO:The images of %s are in place; finishing the update\n", path);
        return finish_installed(path, mode, config, session, false, result);
    }

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
    const uint32_t prior = journal.unfinished;
    if (!unbundle(path, &config, &code)) {
        err("ERROR:Could not unbundle %s\n", path);
        return install_failed(path, code, prior, config, session, result);
    }

    // The diagnostics image lives in RAM until it is copied: the bundle
    // stays until then, so that a failure or a power cut here is retried.
    if (k.access(diagsfs_temp, R_OK) == 0) {
        const diagsfs_outcome copied = install_diagsfs(config);
        if (copied != diagsfs_outcome::installed)
            return install_failed(path, copied == diagsfs_outcome::damaged ? unbundle_damaged : unbundle_install_failed,
                                  prior, config, session, result);
    }
    // Every image is in place: a later boot only finishes the last steps.
    journal.installed = true;
    journal.unfinished &= ~(journal.verified | journal_unknown_images);
    (void)install_journal_write(session.path, journal);  // reported; a boot that finds it older installs again
    return finish_installed(path, mode, config, session, true, result);
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

#include "update/update_log.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/boardid.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/read_full.h"
#include "sys/unique_fd.h"
#include "update/replace_file.h"
#include "update/update.h"

namespace qm {

namespace {

constexpr const char* store_dir = "/mnt-us";
// The most of a log the menu shows: a log of ours is far smaller; one that
// is not (edited on a computer) is shown up to here.
constexpr size_t most_shown = 2 * update_log_console_bytes;

// A name as the head shows it: nothing that could break a line.
[[nodiscard]] std::string plain(std::string_view text) {
    std::string shown(text);
    for (char& c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return shown;
}

[[nodiscard]] std::string code_words(int code) {
    switch (code) {
        case update_ok: return "nothing to report";
        case update_no_gauge: return "the battery gauge could not be read";
        case update_failed: return "the bundle could not be verified or installed, or its journal not written";
        case update_too_many_bundles: return "more than one update*.bin on the user store";
        case update_battery_low: return "the battery charge is too low for an update";
        case update_given_up: return "the update did not finish in the boots it may take";
        case update_held: return "an update that began writing cannot finish: the reader is held in recovery";
        default: return "a code this program does not know";
    }
}

[[nodiscard]] std::string outcome_words(const update_ending& ending, unsigned boots) {
    const std::string used =
        " (" + std::to_string(boots) + " of " + std::to_string(install_most_boots) + " boots used)";
    if (ending.installed > 0)
        return ending.bundle_left ? "installed; the last steps are tried again at the next boot" : "installed";
    switch (ending.code) {
        case update_held:
            return ending.bundle_left
                       ? "held in recovery: the system on the device is not whole; the next power-up tries again"
                       : "held in recovery: the system on the device is not whole; only a new bundle can end it";
        case update_given_up:
            return "given up: " + std::to_string(boots) + " boots began it and none finished; the bundle was removed";
        case update_too_many_bundles: return "refused: more than one update*.bin; nothing was removed";
        case update_battery_low: return "refused: the battery charge is too low; the bundle stays for a later boot";
        case update_no_gauge: return "refused: the battery gauge could not be read; the bundle stays for a later boot";
        default: break;
    }
    if (ending.installed == 0 && ending.code == update_failed)  // the journal was not written
        return "not begun: the install journal could not be written; the bundle stays for a boot that finds room";
    if (ending.bundle_left && ending.installed < 0) return "failed, kept for the next boot" + used;
    if (ending.bundle_left)
        return "not finished: the images are in place, the last steps are tried again at the next boot" + used;
    return ending.installed < 0 ? "refused: the bundle failed its check and was removed"
                                : "ended without installing; the bundle is gone";
}

[[nodiscard]] std::string clock_text() {
    const time_t now = sys::kernel().time(nullptr);
    tm parts {};
    char text[64];
    if (gmtime_r(&now, &parts) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
        return "unknown";
    return std::string(text) + " (the reader's clock)";
}

[[nodiscard]] std::string family_text() {
    if (is_orvik_platform()) return "NOR-boot";
    if (is_selda_platform()) return "MMC-boot";
    return "unknown";
}

[[nodiscard]] bool regular_file(const char* path, struct stat* status) {
    return sys::kernel().stat(path, status) == 0 && S_ISREG(status->st_mode);
}

// Whether the store has room for bytes more and what it must keep free.
// Asked before anything is written: a full store gets nothing at all.
[[nodiscard]] bool room_for(size_t bytes) {
    struct statfs status {};
    if (sys::kernel().statfs(store_dir, &status) != 0) {
        report_errno(store_dir, errno);
        return false;
    }
    const auto block = static_cast<long long>(status.f_bsize);
    const auto free = static_cast<long long>(status.f_bavail) * block;
    // Its clusters, rounded up, and one for the folder's entries.
    const long long needed = (static_cast<long long>(bytes) + block - 1) / block * block + block;
    return free >= needed + update_log_room_to_leave;
}

// Whether each of our names is free or holds a file (of ours): a folder or
// anything else of the owner's by one of them stops the write, so that it
// is never renamed or replaced.
[[nodiscard]] bool names_are_ours() {
    for (const char* path : {update_log_path, update_log_before_path, update_log_new_path}) {
        struct stat status {};
        if (sys::kernel().lstat(path, &status) == 0 && !S_ISREG(status.st_mode)) {
            err("WARNING:%s is not a file; not writing the update log\n", path);
            return false;
        }
    }
    return true;
}

}  // namespace

std::string update_log_text(const update_attempt& attempt, const update_ending& ending) {
    const install_journal& journal = attempt.session.journal;
    std::string head = "quillmar update log\n";
    head += "written:  " + clock_text() + "\n";
    if (!attempt.bundle.empty()) {
        struct stat status {};
        const std::string path = std::string(store_dir) + "/" + attempt.bundle;
        long long size = journal.boots > 0 ? journal.bundle_size : -1;
        if (size < 0 && regular_file(path.c_str(), &status)) size = static_cast<long long>(status.st_size);
        head += "bundle:   " + plain(attempt.bundle) +
                (size >= 0 ? ", " + std::to_string(size) + " bytes" : std::string(", size not known")) + "\n";
    } else {
        head += ending.code == update_too_many_bundles ? "bundle:   several (none taken)\n" : "bundle:   none\n";
    }
    if (journal.verified == 0) head += "SHA-256:  not known (no image passed the signature check)\n";
    for (int type = 0; type < image_type_count; ++type) {
        if ((journal.verified & (1u << type)) == 0) continue;
        head += std::string("SHA-256:  ") + bundle_info_name(type) + " ";
        char pair[3];
        for (const uint8_t byte : journal.sha256[type]) {
            std::snprintf(pair, sizeof pair, "%02x", byte);
            head += pair;
        }
        head += " (as the signature check accepted it)\n";
    }
    head += "family:   " + family_text() + "\n";
    head += "board:    " + std::string(*boardid_get() != '\0' ? plain(boardid_get()) : "unknown") + "\n";
    head += "program:  quillmar " QM_VERSION "\n";
    const bool not_begun = ending.installed == 0 && ending.code == update_failed;
    if (not_begun)
        head += "journal:  could not be written\n";
    else if (journal.boots > 0)
        head += "journal:  " + std::to_string(journal.boots) + " of " + std::to_string(install_most_boots) +
                " tries counted\n";
    else
        head += "journal:  none written\n";
    if (journal.unfinished != 0) {
        head += "unfinished:";
        for (int type = 0; type < image_type_count; ++type)
            if (journal.unfinished & (1u << type)) head += std::string(" ") + bundle_info_name(type);
        if (journal.unfinished & journal_unknown_images) head += " (and images a damaged journal cannot name)";
        head += " (may be neither old nor new)\n";
    }
    head += "outcome:  " + outcome_words(ending, journal.boots) + "\n";
    head += "code:     " + std::to_string(ending.code) + " (" + code_words(ending.code) + ")\n";

    std::string console = attempt.console.lines();
    std::string crlf;
    crlf.reserve(console.size() + console.size() / 16);
    for (const char c : console) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const size_t left_out = attempt.console.left_out() + keep_last_lines(crlf, update_log_console_bytes);
    head += "console:  the last " + std::to_string(update_log_console_bytes) +
            " bytes at most of this attempt's console lines" +
            (left_out > 0 ? "; " + std::to_string(left_out) + " earlier lines left out" : std::string()) + "\n\n";
    std::string text;
    for (const char c : head) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return text + crlf;
}

int update_log_write(const update_attempt& attempt, int installed, int code) {
    // Without a bundle no update was tried: also a boot that only holds the
    // reader again, so that the log of the attempt that failed stays.
    if (attempt.bundle.empty() && code != update_too_many_bundles) return 0;
    auto& k = sys::kernel();
    struct stat status {};
    const std::string bundle = std::string(store_dir) + "/" + attempt.bundle;
    const update_ending ending {installed, code, !attempt.bundle.empty() && regular_file(bundle.c_str(), &status)};
    const std::string text = update_log_text(attempt, ending);
    k.alarm(15);
    int written = 0;
    if (!room_for(text.size()))
        err("INFO:The user store has no room for %s; not writing it\n", update_log_path);
    else if (names_are_ours())
        written = replace_file(update_log_path, text, update_log_before_path);
    k.alarm(0);
    if (written) err("INFO:This update's log is %s\n", update_log_path);
    return written;
}

void update_log_show() {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(update_log_path, O_RDONLY));
    if (!fd.valid()) {
        if (errno == ENOENT)
            err("INFO:No update log on the user store (%s)\n", update_log_path);
        else
            report_errno(update_log_path, errno);
        return;
    }
    std::string text(most_shown + 1, '\0');
    const ssize_t got = sys::read_full(fd.get(), text.data(), text.size());
    if (got < 0) {
        report_errno(update_log_path, errno);
        return;
    }
    text.resize(static_cast<size_t>(got));
    const bool cut = text.size() > most_shown;
    if (cut) text.resize(most_shown);
    // A file from a computer may hold anything: only text reaches the
    // console, with line feeds for its line ends.
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n' || c == '\t' || (byte >= 0x20 && byte != 0x7f)) shown += c;
    }
    out("=== %s ===\n", update_log_path);
    (void)write_all(1, shown);  // the console shows what it can
    if (!shown.empty() && shown.back() != '\n') out("\n");
    if (cut) out("=== the first %zu bytes shown ===\n", most_shown);
    out("=== end of %s ===\n", update_log_path);
}

}  // namespace qm

#include "update/install_journal.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/read_full.h"
#include "sys/unique_fd.h"
#include "update/crc.h"
#include "update/remove_flushed.h"
#include "update/replace_file.h"

namespace qm {

namespace {

constexpr std::string_view first_line = "quillmar install journal 1\n";
constexpr std::string_view crc_key = "crc ";
// Far more than any journal holds; a bigger file is not one of ours.
constexpr size_t most_bytes = 4096;

// The user store can stop answering like any device: each access to the
// journal runs under the watchdog, which restarts the reader.
struct watchdog {
    watchdog() { sys::kernel().alarm(15); }
    ~watchdog() { sys::kernel().alarm(0); }
    watchdog(const watchdog&) = delete;
    watchdog& operator=(const watchdog&) = delete;
};

[[nodiscard]] uint32_t crc_of(std::string_view text) {
    return ~crc32_calc(reinterpret_cast<const uint8_t*>(text.data()), text.size(), 0xFFFFFFFF);
}

[[nodiscard]] std::string hex(const uint8_t* bytes, size_t length) {
    std::string text;
    char pair[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

[[nodiscard]] int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

[[nodiscard]] bool unhex(std::string_view text, uint8_t* bytes, size_t length) {
    if (text.size() != 2 * length) return false;
    for (size_t i = 0; i < length; ++i) {
        const int high = hex_digit(text[2 * i]);
        const int low = hex_digit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

// A decimal number that fills the whole text.
[[nodiscard]] bool number(std::string_view text, long long* value) {
    if (text.empty() || text.size() > 18) return false;
    long long result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + (c - '0');
    }
    *value = result;
    return true;
}

[[nodiscard]] int image_type_named(std::string_view name) {
    for (int type = 0; type < image_type_count; ++type)
        if (name == bundle_info_name(type)) return type;
    return image_none;
}

constexpr std::string_view unknown_word = "unknown";

// "RootFS UImage unknown": the unfinished images by name.
[[nodiscard]] std::string mask_text(uint32_t mask) {
    std::string text;
    for (int type = 0; type < image_type_count; ++type)
        if (mask & (1u << type)) text += std::string(text.empty() ? "" : " ") + bundle_info_name(type);
    if (mask & journal_unknown_images) text += std::string(text.empty() ? "" : " ") + std::string(unknown_word);
    return text;
}

[[nodiscard]] bool parse_mask(std::string_view text, uint32_t* mask) {
    uint32_t parsed = 0;
    while (!text.empty()) {
        const size_t blank = text.find(' ');
        const std::string_view word = text.substr(0, blank);
        const int type = image_type_named(word);
        if (word == unknown_word)
            parsed |= journal_unknown_images;
        else if (type != image_none)
            parsed |= 1u << type;
        else
            return false;
        text = blank == std::string_view::npos ? std::string_view() : text.substr(blank + 1);
    }
    if (parsed == 0) return false;
    *mask = parsed;
    return true;
}

[[nodiscard]] bool parse_line(std::string_view key, std::string_view value, install_journal& journal) {
    long long n = 0;
    if (key == "unfinished") return parse_mask(value, &journal.unfinished);
    if (key == "installed") {
        journal.installed = value == "yes";
        return journal.installed;
    }
    if (key == "panel") {
        if (value == "starting")
            journal.panel = journal_panel::starting;
        else if (value == "hung")
            journal.panel = journal_panel::hung;
        else
            return false;
        return true;
    }
    if (key == "bundle") {
        if (value.empty() || value.size() >= sizeof journal.bundle) return false;
        value.copy(journal.bundle, value.size());
        journal.bundle[value.size()] = '\0';
        return true;
    }
    if (key == "size") return number(value, &journal.bundle_size);
    if (key == "boots") {
        if (!number(value, &n) || n > 1000) return false;
        journal.boots = static_cast<unsigned>(n);
        return true;
    }
    const int type = image_type_named(key);
    if (type == image_none || !unhex(value, journal.sha256[type], sizeof journal.sha256[type])) return false;
    journal.verified |= 1u << type;
    return true;
}

}  // namespace

std::string install_journal_text(const install_journal& journal) {
    std::string text(first_line);
    text += "bundle " + std::string(journal.bundle) + "\n";
    text += "size " + std::to_string(journal.bundle_size) + "\n";
    text += "boots " + std::to_string(journal.boots) + "\n";
    for (int type = 0; type < image_type_count; ++type)
        if (journal.verified & (1u << type))
            text += std::string(bundle_info_name(type)) + " " + hex(journal.sha256[type], 32) + "\n";
    if (journal.unfinished != 0) text += "unfinished " + mask_text(journal.unfinished) + "\n";
    if (journal.installed) text += "installed yes\n";
    if (journal.panel == journal_panel::starting) text += "panel starting\n";
    if (journal.panel == journal_panel::hung) text += "panel hung\n";
    char crc[16];
    std::snprintf(crc, sizeof crc, "%08" PRIx32 "\n", crc_of(text));
    return text + std::string(crc_key) + crc;
}

bool install_journal_parse(std::string_view text, install_journal* journal) {
    // The CRC line comes last: a journal cut short by a power failure, or
    // changed on a host, fails it.
    if (text.size() < first_line.size() || text.substr(0, first_line.size()) != first_line || text.back() != '\n')
        return false;
    const size_t crc_at = text.rfind('\n', text.size() - 2) + 1;
    const std::string_view body = text.substr(0, crc_at);
    const std::string_view crc_line = text.substr(crc_at, text.size() - crc_at - 1);
    char expected[16];
    std::snprintf(expected, sizeof expected, "%08" PRIx32, crc_of(body));
    if (crc_line.substr(0, crc_key.size()) != crc_key || crc_line.substr(crc_key.size()) != expected) return false;

    install_journal parsed{};
    parsed.bundle_size = -1;
    std::string_view rest = body.substr(first_line.size());
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end + 1);
        const size_t blank = line.find(' ');
        if (blank == std::string_view::npos || !parse_line(line.substr(0, blank), line.substr(blank + 1), parsed))
            return false;
    }
    if (parsed.bundle[0] == '\0' || parsed.bundle_size < 0) return false;
    *journal = parsed;
    return true;
}

const char* install_journal_place() {
    struct stat status {};
    sys::kernel().alarm(15);
    const bool taken = sys::kernel().lstat(install_journal_path, &status) == 0 && !S_ISREG(status.st_mode);
    sys::kernel().alarm(0);
    return taken ? install_journal_spare_path : install_journal_path;
}

int install_journal_read(const char* path, install_journal* journal) {
    auto& k = sys::kernel();
    const watchdog guard;
    sys::unique_fd fd(k.open(path, O_RDONLY));
    if (!fd.valid()) {
        if (errno == ENOENT) return 0;
        report_errno(path, errno);
        return -1;
    }
    std::string text(most_bytes + 1, '\0');
    const ssize_t got = sys::read_full(fd.get(), text.data(), text.size());
    if (got < 0) {
        report_errno(path, errno);
        return -1;
    }
    text.resize(static_cast<size_t>(got));
    if (text.size() > most_bytes || !install_journal_parse(text, journal)) {
        err("WARNING:%s is damaged\n", path);
        return -1;
    }
    return 1;
}

int install_journal_write(const char* path, const install_journal& journal) {
    const watchdog guard;
    return replace_file(path, install_journal_text(journal));
}

int install_journal_remove(const char* path) {
    const watchdog guard;
    if (remove_flushed(path, true) != 0 && errno != ENOENT) {
        report_errno(path, errno);
        return 0;
    }
    return 1;
}

int install_journal_record_verified(void* context, const char* path, const image_check* verified) {
    auto& session = *static_cast<install_journal_session*>(context);
    install_journal& journal = session.journal;
    install_journal seen = journal;
    seen.verified = 0;
    for (int type = 0; type < image_type_count; ++type) {
        if (verified[type].present) {
            seen.verified |= 1u << type;
            std::memcpy(seen.sha256[type], verified[type].sha256, sizeof seen.sha256[type]);
        } else {
            std::memset(seen.sha256[type], 0, sizeof seen.sha256[type]);
        }
    }
    const bool other_images = journal.verified != 0 &&
                              (journal.verified != seen.verified ||
                               std::memcmp(journal.sha256, seen.sha256, sizeof seen.sha256) != 0);
    if (other_images) {
        err("INFO:%s holds other images than the update begun before; counting its boots afresh\n", path);
        seen.boots = 1;
    }
    // From here on its images are written: until they are all in place,
    // their places may hold neither the old image nor the new one.
    seen.unfinished |= seen.verified;
    seen.installed = false;
    if (!install_journal_write(session.path, seen)) {
        err("ERROR:Could not record the update in %s; not installing %s\n", session.path, path);
        return 0;
    }
    journal = seen;
    return 1;
}

}  // namespace qm

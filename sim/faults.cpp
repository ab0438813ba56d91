#include "sim/faults.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <utility>

namespace sim {

namespace {

std::vector<std::string> split(std::string_view text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t colon = text.find(':', start);
        parts.emplace_back(text.substr(start, colon == std::string_view::npos ? colon : colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    return parts;
}

bool parse_count(const std::string& text, long& out) {
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && out > 0;
}

// "N" or, where a run is allowed, "N-M" with M not below N.
bool parse_run(const std::string& text, bool run_allowed, Fault& fault) {
    const size_t dash = text.find('-');
    if (dash == std::string::npos) return parse_count(text, fault.nth);
    return run_allowed && parse_count(text.substr(0, dash), fault.nth) &&
           parse_count(text.substr(dash + 1), fault.last) && fault.last >= fault.nth;
}

// Whether the count-th request is one the fault names.
bool names(const Fault& fault, long count) {
    if (fault.nth == 0) return true;
    return fault.last == 0 ? count == fault.nth : count >= fault.nth && count <= fault.last;
}

}  // namespace

std::optional<Fault> parse_fault(std::string_view text, std::string& error) {
    static const std::map<std::string, Fault::Kind> kinds = {
        {"eio", Fault::Kind::write_error},   {"eio-read", Fault::Kind::read_error},
        {"eio-seek", Fault::Kind::seek_error}, {"eio-fsync", Fault::Kind::fsync_error},
        {"short", Fault::Kind::short_write}, {"short-read", Fault::Kind::short_read},
        {"vanish", Fault::Kind::vanish},
        {"hang", Fault::Kind::hang},         {"powercut", Fault::Kind::power_cut},
        {"reboot-fails", Fault::Kind::reboot_fails}, {"swap", Fault::Kind::swap},
        {"select-fails", Fault::Kind::select_fails},
    };
    const auto parts = split(text);
    const auto kind = kinds.find(parts[0]);
    if (kind == kinds.end()) {
        error = "unknown fault kind '" + parts[0] + "'";
        return std::nullopt;
    }
    Fault fault{kind->second, "", 0};
    const bool counted_only = fault.kind == Fault::Kind::power_cut || fault.kind == Fault::Kind::reboot_fails ||
                              fault.kind == Fault::Kind::select_fails;
    if (counted_only) {
        if (parts.size() != 2 || !parse_count(parts[1], fault.nth)) {
            error = "'" + std::string(text) + "' needs one count above 0";
            return std::nullopt;
        }
        return fault;
    }
    if (parts.size() < 2 || parts[1].empty() || parts[1][0] != '/') {
        error = "'" + std::string(text) + "' needs an absolute device path";
        return std::nullopt;
    }
    fault.path = parts[1];
    if (fault.kind == Fault::Kind::swap) {
        if (parts.size() != 3 || parts[2].empty()) {
            error = "'" + std::string(text) + "' needs the host file that replaces the path";
            return std::nullopt;
        }
        fault.replacement = parts[2];
        struct stat status {};
        if (::stat(fault.replacement.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
            ::access(fault.replacement.c_str(), R_OK) != 0) {
            error = "'" + std::string(text) + "': the host file " + fault.replacement + " cannot be read";
            return std::nullopt;
        }
        return fault;
    }
    const bool count_needed = fault.kind == Fault::Kind::short_write || fault.kind == Fault::Kind::short_read;
    const bool run_allowed = fault.kind == Fault::Kind::write_error || fault.kind == Fault::Kind::read_error ||
                             fault.kind == Fault::Kind::seek_error || fault.kind == Fault::Kind::fsync_error;
    const bool count_allowed = count_needed || run_allowed;
    if (parts.size() > 3 || (parts.size() == 3 && (!count_allowed || !parse_run(parts[2], run_allowed, fault))) ||
        (count_needed && parts.size() != 3)) {
        error = "malformed fault '" + std::string(text) + "'";
        return std::nullopt;
    }
    return fault;
}

bool Faults::has(Fault::Kind kind, const std::string& path) const {
    for (const auto& fault : faults_)
        if (fault.kind == kind && fault.path == path) return true;
    return false;
}

ssize_t Faults::admit_write(const std::string& path, size_t count) {
    const long nth = ++writes_by_path_[path];
    if (vanished(path)) {
        errno = EIO;
        return -1;
    }
    for (const auto& fault : faults_) {
        if (fault.path != path || !names(fault, nth)) continue;
        if (fault.kind == Fault::Kind::write_error) {
            errno = EIO;
            return -1;
        }
        if (fault.kind == Fault::Kind::short_write) return static_cast<ssize_t>(count / 2);
    }
    return static_cast<ssize_t>(count);
}

bool Faults::power_cut_due() {
    ++writes_;
    for (const auto& fault : faults_)
        if (fault.kind == Fault::Kind::power_cut && fault.nth == writes_) return true;
    return false;
}

bool Faults::counted_request_fails(Fault::Kind kind, std::map<std::string, long>& counts,
                                   const std::string& path) {
    const long nth = ++counts[path];
    for (const auto& fault : faults_)
        if (fault.kind == kind && fault.path == path && names(fault, nth)) return true;
    return false;
}

bool Faults::read_fails(const std::string& path) {
    return counted_request_fails(Fault::Kind::read_error, reads_by_path_, path) || vanished(path);
}

bool Faults::seek_fails(const std::string& path) {
    return counted_request_fails(Fault::Kind::seek_error, seeks_by_path_, path);
}

bool Faults::fsync_fails(const std::string& path) {
    return counted_request_fails(Fault::Kind::fsync_error, fsyncs_by_path_, path);
}

size_t Faults::read_limit(const std::string& path, size_t count) const {
    for (const auto& fault : faults_)
        if (fault.kind == Fault::Kind::short_read && fault.path == path)
            count = std::min(count, static_cast<size_t>(fault.nth));
    return count;
}

std::string Faults::take_swap(const std::string& path) {
    for (auto& fault : faults_) {
        if (fault.kind != Fault::Kind::swap || fault.path != path || fault.replacement.empty()) continue;
        return std::exchange(fault.replacement, std::string());
    }
    return "";
}

bool Faults::select_fails() {
    long allowed = 0;
    for (const auto& fault : faults_)
        if (fault.kind == Fault::Kind::select_fails) allowed += fault.nth;
    if (selects_refused_ >= allowed) return false;
    ++selects_refused_;
    return true;
}

bool Faults::reboot_fails() {
    for (const auto& fault : faults_) {
        if (fault.kind == Fault::Kind::reboot_fails && reboots_refused_ < fault.nth) {
            ++reboots_refused_;
            return true;
        }
    }
    return false;
}

}  // namespace sim

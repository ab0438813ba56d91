#include "diag/ls.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

char type_letter(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFIFO: return 'p';
        case S_IFCHR: return 'c';
        case S_IFDIR: return 'd';
        case S_IFBLK: return 'b';
        case S_IFREG: return '-';
        case S_IFLNK: return 'l';
        case S_IFSOCK: return 's';
        default: return '?';
    }
}

// Lists one entry, reading its status without following links; an entry
// whose status cannot be read is shown with an all-zero status.
int list_entry(const char* name, const char* path) {
    struct stat status {};
    if (sys::kernel().lstat(path, &status) != 0) {
        report_errno(path, errno);
        status = {};
    }
    return dump_stat(name, path, &status);
}

}  // namespace

int dump_stat(const char* name, const char* path, const struct stat* status) {
    if (status == nullptr || path == nullptr) return 0;
    const mode_t mode = status->st_mode;
    char letters[11];
    letters[0] = type_letter(mode);
    static constexpr char rwx[] = "rwx";
    for (int i = 0; i < 9; ++i)
        letters[1 + i] = (mode & (0400u >> i)) ? rwx[i % 3] : '-';
    letters[10] = '\0';

    std::string line(letters);
    char field[64];
    std::snprintf(field, sizeof field, "%3u %5lu %5lu ", static_cast<unsigned>(status->st_nlink),
                  static_cast<unsigned long>(status->st_uid), static_cast<unsigned long>(status->st_gid));
    line.erase(10);
    line += field;
    const auto type = mode & S_IFMT;
    if (type == S_IFBLK || type == S_IFCHR) {
        const auto dev = static_cast<unsigned long long>(status->st_rdev);
        const auto major = static_cast<unsigned>((dev >> 8) & 0xfffu);
        const auto minor = static_cast<unsigned>((dev & 0xffu) | ((dev >> 12) & 0xfff00u));
        std::snprintf(field, sizeof field, "%3u,%3u ", major, minor);
    } else {
        std::snprintf(field, sizeof field, "%7llu ", static_cast<unsigned long long>(status->st_size));
    }
    line += field;
    line += name != nullptr ? name : "";
    if (type == S_IFLNK) {
        std::string target(static_cast<size_t>(status->st_size), '\0');
        const ssize_t n = sys::kernel().readlink(path, target.data(), target.size());
        if (n < 0) {
            line += " -> (error:";
            line += std::strerror(errno);
            line += ")";
        } else {
            line += " -> ";
            line.append(target.data(), static_cast<size_t>(n));
        }
    }
    line += '\n';
    write_all(1, line);
    return 1;
}

int ls_file(const char* path) {
    struct stat status {};
    if (sys::kernel().lstat(path, &status) != 0) {
        // Listed like an unreadable directory entry, all zeros.
        report_errno(path, errno);
        status = {};
        (void)dump_stat(path, path, &status);  // the listing line; the failure is ours to return
        return 0;
    }
    return dump_stat(path, path, &status);
}

int ls_dir(const char* path) {
    auto dir = sys::kernel().opendir(path);
    if (!dir) {
        report_errno(path, errno);
        return 0;
    }
    out("%s:\n", path);
    const size_t length = std::strlen(path);
    const bool has_slash = length > 0 && path[length - 1] == '/';
    std::string name;
    while (dir->next(name) > 0) {
        std::string full(path);
        if (!has_slash) full += '/';
        full += name;
        if (full.size() > 4095) full.resize(4095);
        list_entry(full.c_str(), full.c_str());
    }
    return 1;
}

}  // namespace qm

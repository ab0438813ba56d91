#include "storage/module.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

// The module loader answers with ordinary error numbers but gives some of
// them a meaning of its own (2, ENOENT: a symbol it cannot resolve; 3,
// ESRCH: a symbol of another version; 8, ENOEXEC: not a module). They are
// matched by value so that the texts stay tied to the numbers printed
// beside them.
const char* init_module_reason(int error_number) {
    switch (error_number) {
        case 2: return "Unknown symbol in module";
        case 3: return "Module has wrong symbol version";
        case 8: return "Invalid module format";
        case 22: return "Invalid parameters";
        default: return std::strerror(error_number);
    }
}

int load(const char* path, const char* args) {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(path, O_RDONLY));
    if (!fd.valid()) {
        report_errno(path, errno);
        return 0;
    }
    struct stat status {};
    if (k.fstat(fd.get(), &status) != 0) {
        report_errno(path, errno);
        return 0;
    }
    const auto size = static_cast<long long>(status.st_size);
    if (size <= 0) {
        err("ERROR:%s:Module file reported as 0 bytes\n", path);
        return 0;
    }
    const auto rounded = (static_cast<size_t>(size) + 4095) & ~static_cast<size_t>(4095);
    std::unique_ptr<char[]> image(new (std::nothrow) char[rounded]);
    if (!image) {
        report_errno(path, ENOMEM);
        return 0;
    }
    size_t have = 0;
    while (have < static_cast<size_t>(size)) {
        const ssize_t n = k.read(fd.get(), image.get() + have, static_cast<size_t>(size) - have);
        if (n <= 0) {
            report_errno(path, errno);
            return 0;
        }
        have += static_cast<size_t>(n);
    }
    if (k.init_module(image.get(), static_cast<unsigned long>(size), args) != 0) {
        const int error_number = errno;
        err("ERROR:%s:%s(%u)\n", path, init_module_reason(error_number),
            static_cast<unsigned>(error_number));
        return 0;
    }
    err("INFO:Loaded module %s %s (%llu bytes)\n", path, args, static_cast<unsigned long long>(size));
    return 1;
}

}  // namespace

int install_module(const char* path, const char* args) {
    if (args == nullptr) args = "";
    if (load(path, args)) return 1;
    err("ERROR:Could not load module %s %s\n", path, args);
    return 0;
}

const char* modname(const char* path) {
    static char name[4096];
    const char* slash = std::strrchr(path, '/');
    const char* base = slash != nullptr ? slash + 1 : path;
    std::strncpy(name, base, sizeof name - 1);
    name[sizeof name - 1] = '\0';
    if (char* ko = std::strstr(name, ".ko")) *ko = '\0';
    return name;
}

}  // namespace qm

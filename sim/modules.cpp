#include "sim/modules.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace sim {

std::string module_file_text(const std::string& name) { return std::string(module_magic) + "name=" + name + "\n"; }

int Modules::load(const void* image, unsigned long length, const char* params, std::string& name) {
    const std::string_view bytes(static_cast<const char*>(image), length);
    const std::string_view magic(module_magic);
    if (bytes.substr(0, magic.size()) != magic || bytes.substr(magic.size(), 5) != "name=") {
        errno = ENOEXEC;
        return -1;
    }
    const auto rest = bytes.substr(magic.size() + 5);
    name = std::string(rest.substr(0, rest.find('\n')));
    if (name.empty()) {
        errno = ENOEXEC;
        return -1;
    }
    if (loaded(name)) {
        errno = EEXIST;
        return -1;
    }
    loaded_[name] = params != nullptr ? params : "";
    return 0;
}

int Modules::remove(const std::string& name) {
    if (loaded_.erase(name) == 0) {
        errno = ENOENT;
        return -1;
    }
    return 0;
}

}  // namespace sim

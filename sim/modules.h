// Kernel modules of the simulated device. A module file in the device's
// lib/modules/ is a short text: the line "quillmar-sim kernel module" and
// a line "name=NAME". The kernel refuses other bytes as an invalid module
// format and a second load of the same module as existing.
#pragma once

#include <map>
#include <string>

namespace sim {

constexpr const char* module_magic = "quillmar-sim kernel module\n";

// The contents of a module file for name.
std::string module_file_text(const std::string& name);

class Modules {
public:
    // init_module: 0, or -1 with errno (ENOEXEC, EEXIST).
    int load(const void* image, unsigned long length, const char* params, std::string& name);
    // delete_module: 0, or -1 with errno ENOENT.
    int remove(const std::string& name);

    bool loaded(const std::string& name) const { return loaded_.count(name) != 0; }
    const std::map<std::string, std::string>& all() const { return loaded_; }  // name -> params

private:
    std::map<std::string, std::string> loaded_;
};

}  // namespace sim

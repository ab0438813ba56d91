// The mount table of the simulated device. A mounted file system is a
// directory of the device directory (proc/, sys/, later userstore/...);
// the table in mounts.cpp says which source and type mount which one.
#pragma once

#include <string>
#include <vector>

namespace sim {

class Kernel;

struct Mount {
    std::string source;
    std::string target;    // normalised program path
    std::string fstype;
    std::string host_dir;  // backing directory, relative to the device root
};

class Mounts {
public:
    // mount(2): 0, or -1 with errno as Linux would set it.
    int mount(Kernel& kernel, const std::string& source, const std::string& target, const std::string& fstype);
    // umount2(2): EBUSY while a file below target is open, unless detached.
    int umount(Kernel& kernel, const std::string& target, int flags);

    // The mount that holds path (longest target prefix), or null.
    const Mount* holding(const std::string& path) const;
    bool mounted_on(const std::string& target) const;

private:
    std::vector<Mount> mounts_;
};

// Whether path lies at or below dir ("/a" holds "/a" and "/a/b", not "/ab").
bool path_within(const std::string& path, const std::string& dir);

}  // namespace sim

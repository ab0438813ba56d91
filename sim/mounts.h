// The mount table of the simulated device. A mounted file system is a
// directory of the device directory (proc/, sys/, userstore/, card/,
// rootfs/); the table in mounts.cpp says which type on which device mounts
// which one, and how to tell that the device holds that file system.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sim {

class Kernel;

struct Mount {
    std::string source;
    std::string target;    // normalised program path
    std::string fstype;
    std::string host_dir;  // backing directory, relative to the device root
    unsigned long flags = 0;
    std::string data;      // the option text the program passed
};

class Mounts {
public:
    // mount(2): 0, or -1 with errno as Linux would set it; an option the
    // file system does not know is refused with EINVAL.
    int mount(Kernel& kernel, const std::string& source, const std::string& target, const std::string& fstype,
              unsigned long flags = 0, const std::string& data = "");
    // umount2(2): EBUSY while a file below target is open, unless detached.
    int umount(Kernel& kernel, const std::string& target, int flags);

    // The mount that holds path (longest target prefix), or null.
    const Mount* holding(const std::string& path) const;
    bool mounted_on(const std::string& target) const;
    bool any_source(const std::function<bool(const std::string& source)>& matches) const;

private:
    std::vector<Mount> mounts_;
};

// The directory of the device directory that holds the files of a file
// system of fstype on device (a loop device stands for what it reads), or
// empty when the device holds none of the simulated file systems.
std::string file_system_dir(Kernel& kernel, const std::string& fstype, const std::string& device);

// Whether path lies at or below dir ("/a" holds "/a" and "/a/b", not "/ab").
bool path_within(const std::string& path, const std::string& dir);

}  // namespace sim

// Loop devices /dev/loop0 to /dev/loop7: LOOP_SET_FD attaches the file or
// device behind a descriptor (the kernel keeps its own reference), the old
// LOOP_SET_STATUS record sets the offset and name, LOOP_CLR_FD detaches,
// refused with EBUSY while the loop device is mounted.
#pragma once

#include <linux/loop.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/devices.h"
#include "sim/open_file.h"

namespace sim {

struct LoopBinding {
    std::string backing;            // program path of what is attached
    std::unique_ptr<OpenFile> file;  // the kernel's own reference to it
    loop_info info{};
};

class LoopDevices {
public:
    static constexpr unsigned units = 8;

    // The binding of a unit, or null while nothing is attached.
    LoopBinding* bound(unsigned unit);
    // What a loop device path reads from, or path itself for any other
    // path and for a loop device with nothing attached.
    std::string underlying(const std::string& path) const;
    // The byte offset of a loop device path into what it reads (0 for any
    // other path).
    off_t offset_of(const std::string& path) const;
    bool any_backing(const std::function<bool(const std::string& path)>& matches) const;

    int attach(unsigned unit, std::string backing, std::unique_ptr<OpenFile> file);
    void detach(unsigned unit) { bindings_.erase(unit); }

private:
    std::map<unsigned, LoopBinding> bindings_;
};

void add_loop_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

}  // namespace sim

// Device nodes of the simulated /dev. Each kind of device lives in its own
// file under sim/dev/ and adds the nodes present right now (an MMC card
// only while its image exists, say) through one function listed in
// devices.cpp.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/open_file.h"

namespace sim {

class Kernel;

struct DeviceNode {
    std::string path;  // "/dev/..."
    mode_t type;       // S_IFBLK or S_IFCHR
    dev_t rdev;
    // Opens the device with the program's flags; nullptr with errno set.
    std::function<std::unique_ptr<OpenFile>(int flags)> open;
};

std::vector<DeviceNode> device_nodes(Kernel& kernel);

}  // namespace sim

// The MMC cards of the simulated device: the internal card mmc0.img as
// /dev/mmcblk0 and, when present, a second card mmc1.img as /dev/mmcblk1.
#pragma once

#include <vector>

#include "sim/devices.h"

namespace sim {

void add_mmc_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

}  // namespace sim

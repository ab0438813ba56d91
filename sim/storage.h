// Storage state the simulated kernel keeps between requests: the partition
// tables it has read, what the loop devices are attached to, and the lock
// bits of the NOR flash. Like a real kernel's, it lasts one power-up.
#pragma once

#include "sim/dev/loop.h"
#include "sim/dev/mmc.h"
#include "sim/dev/mtd.h"

namespace sim {

struct Storage {
    PartitionTables partitions;
    LoopDevices loops;
    NorFlash nor;
};

}  // namespace sim

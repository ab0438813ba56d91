// NOR flash partitions of the NOR-boot boards: the file mtdN.img of the
// device directory is partition N, seen as the character device
// /dev/mtd/N (MEMGETINFO, MEMLOCK, MEMUNLOCK, MEMERASE) and the block
// device /dev/mtdblock/N. Every erase block comes up locked at power-up;
// writing a locked block fails (EIO through mtdblock, EROFS through the
// character device). The character device programs as NOR does (bits only
// go from 1 to 0); mtdblock erases and rewrites, so it stores the bytes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "sim/devices.h"

namespace sim {

class NorFlash {
public:
    static constexpr off_t erase_size = 128 * 1024;

    // Whether any erase block of [from, from + length) of partition number
    // (of size bytes) is locked.
    bool any_locked(unsigned number, off_t size, off_t from, off_t length);
    // MEMLOCK / MEMUNLOCK: 0, or -1 with EINVAL for a range outside the
    // partition.
    int set_locked(unsigned number, off_t size, off_t start, off_t length, bool locked);

private:
    std::vector<bool>& blocks(unsigned number, off_t size);
    std::map<unsigned, std::vector<bool>> locked_;
};

void add_mtd_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

}  // namespace sim

// The MMC cards of the simulated device: the internal card mmc0.img as
// /dev/mmcblk0 and, when present, a second card mmc1.img as /dev/mmcblk1.
// Their partitions /dev/mmcblkNpM are windows into the image, found from
// its MBR when first needed and again on BLKRRPART, as a kernel does.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/devices.h"

namespace sim {

struct PartitionWindow {
    unsigned number;  // 1 to 4
    off_t offset;     // bytes
    off_t length;
};

// The primary partitions of a disk as Linux reads them from sector 0:
// nothing without the 0x55 0xAA signature or with a boot flag other than
// 0x00 and 0x80; entries of no size are skipped; an entry that runs past
// the disk's end is cut there, one that starts beyond it is dropped.
std::vector<PartitionWindow> read_msdos_table(const uint8_t* sector, off_t disk_size);

// The partitions of each card as the kernel last read them.
class PartitionTables {
public:
    const std::vector<PartitionWindow>& of(Kernel& kernel, unsigned card);
    // BLKRRPART on the card: 0, or -1 with EBUSY while one of its
    // partitions is open, attached to a loop device or mounted.
    int reread(Kernel& kernel, unsigned card);
    // How many BLKRRPART requests reached a card, granted or not.
    unsigned long reread_requests(unsigned card) const;
    // Re-read requests made while console output was still on its way: the
    // partition messages of the kernel would cut into it.
    unsigned long rereads_before_drain() const { return rereads_before_drain_; }

private:
    void read(Kernel& kernel, unsigned card);
    std::map<unsigned, std::vector<PartitionWindow>> tables_;
    std::map<unsigned, unsigned long> requests_;
    unsigned long rereads_before_drain_ = 0;
};

void add_mmc_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

}  // namespace sim

#include "update/image_room.h"

#include <fcntl.h>
#include <linux/fs.h>

#include "boot/provision.h"
#include "storage/mtd.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/unbundle_common.h"

namespace qm {

namespace {

constexpr const char* diagsfs_partition = "/dev/mmcblk0p3";
constexpr uint64_t sector_bytes = 512;

// Quietly: a missing partition only means the room is not known here.
[[nodiscard]] uint64_t block_device_room(const char* path) {
    auto& k = sys::kernel();
    sys::unique_fd fd(k.open(path, O_RDONLY));
    unsigned long sectors = 0;
    if (!fd.valid() || k.ioctl(fd.get(), BLKGETSIZE, &sectors) != 0) return 0;
    return uint64_t{sectors} * sector_bytes;
}

}  // namespace

uint64_t shared_image_room(int image_type, const update_config* config) {
    switch (image_type) {
        case image_rootfs:
            return config != nullptr ? block_device_room(config->rootfs_dev) : uint64_t{partdata[0].sectors} * sector_bytes;
        case image_diagsfs:
            // Without its partition the image becomes a file of the root file
            // system, whose free space is not known here.
            return config != nullptr ? block_device_room(diagsfs_partition)
                                     : uint64_t{partdata[2].sectors} * sector_bytes;
        default:
            return 0;
    }
}

uint64_t nor_partition_room(const char* mtd) {
    if (mtd == nullptr) return 0;
    sys::unique_fd fd(sys::kernel().open(mtd, O_RDONLY));
    if (!fd.valid()) return 0;
    const int64_t size = mtd_getsize(fd.get(), mtd);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

}  // namespace qm

// A small simulated reader of either family with the partition map laid out
// (scaled down), and where each image type of a bundle lands on it, for
// tests that check what an update leaves on the storage.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/simkernel.h"
#include "update/unbundle_common.h"

namespace test {

enum class family { selda, orvik };

inline sim::InitOptions small_reader_options(family f) {
    sim::InitOptions o;
    o.family = f == family::selda ? "mmc" : "nor";
    o.mmc_size = 64ULL << 20;  // the least the simulation makes
    return o;
}

// Partitions 1 to 4 (start and size in sectors): the root file system, the
// variable data, diagnostics and the user store.
inline constexpr uint32_t small_map[4][2] = {{7688, 4096}, {11784, 2048}, {13832, 8192}, {22024, 109048}};

// Writes the table and has the simulated kernel read it.
inline void lay_out_small_map(SimDevice& device) {
    std::string mbr(512, '\0');
    for (int i = 0; i < 4; ++i) {
        char* entry = mbr.data() + 446 + 16 * i;
        entry[0] = i == 0 ? '\x80' : 0;
        entry[4] = i == 3 ? 0x0b : 0x83;
        std::memcpy(entry + 8, &small_map[i][0], 4);
        std::memcpy(entry + 12, &small_map[i][1], 4);
    }
    mbr[510] = '\x55';
    mbr[511] = '\xaa';
    auto& k = device.kernel();
    const int fd = k.open("/dev/mmcblk0", O_RDWR, 0);
    k.write(fd, mbr.data(), mbr.size());
    k.ioctl(fd, BLKRRPART, nullptr);
    k.close(fd);
}

// Where an image type lands: bytes [offset, offset + size) of a file of the
// device directory.
struct Region {
    int type;
    std::string file;
    uint64_t offset;
    uint64_t size;
};

// Sorted by file and offset. The diagnostics image stays in its temporary
// file until the orchestration installs it.
inline std::vector<Region> regions_of(family f) {
    const Region rootfs{qm::image_rootfs, "mmc0.img", uint64_t{small_map[0][0]} * 512, uint64_t{small_map[0][1]} * 512};
    if (f == family::selda)
        return {{qm::image_uboot, "mmc0.img", 3072, 262144},
                {qm::image_uimage, "mmc0.img", 266240, 3407872},
                rootfs,
                {qm::image_diagsfs, "diagsfs.img", 0, UINT64_MAX}};
    return {rootfs,
            {qm::image_uboot, "mtd0.img", 0, 256 << 10},
            {qm::image_uimage, "mtd1.img", 0, 3 << 20},
            {qm::image_diagsfs, "diagsfs.img", 0, UINT64_MAX}};
}

}  // namespace test

#include "sim/dev/mmc.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "sim/dev/block.h"
#include "sim/kernel.h"

namespace sim {

namespace {
constexpr unsigned mmc_major = 179;
}

void add_mmc_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    const Geometry geometry{static_cast<unsigned>(kernel.device().setting_number("mmc_heads", 4)),
                            static_cast<unsigned>(kernel.device().setting_number("mmc_sectors", 16))};
    for (unsigned card = 0; card < 2; ++card) {
        const std::string image = kernel.device().host_path("mmc" + std::to_string(card) + ".img");
        struct stat status {};
        if (::stat(image.c_str(), &status) != 0) continue;
        const dev_t rdev = makedev(mmc_major, card * 8);
        const off_t size = status.st_size;
        nodes.push_back({"/dev/mmcblk" + std::to_string(card), S_IFBLK, rdev,
                         [image, size, geometry, rdev](int flags) -> std::unique_ptr<OpenFile> {
                             return BlockWindow::open(image, flags, 0, size, geometry, rdev);
                         }});
    }
}

}  // namespace sim

#include "sim/devices.h"

#include "sim/dev/fb.h"
#include "sim/dev/gauge.h"
#include "sim/dev/input.h"
#include "sim/dev/mmc.h"
#include "sim/dev/usb.h"
#include "sim/dev/loop.h"
#include "sim/dev/mtd.h"

namespace sim {

std::vector<DeviceNode> device_nodes(Kernel& kernel) {
    std::vector<DeviceNode> nodes;
    add_mmc_nodes(kernel, nodes);
    add_fb_nodes(kernel, nodes);
    add_input_nodes(kernel, nodes);
    add_gauge_nodes(kernel, nodes);
    add_usb_nodes(kernel, nodes);
    add_loop_nodes(kernel, nodes);
    add_mtd_nodes(kernel, nodes);
    return nodes;
}

}  // namespace sim

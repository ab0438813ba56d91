// The USB device-side controller of the simulated device, as its drivers
// publish it in sysfs (visible once /sys is mounted):
//
//   /sys/devices/platform/UDC/gadget/gadget-lun0/file    while g_file_storage is loaded:
//                                                         the backing file of the unit
//   /sys/devices/platform/UDC/gadget/gadget-lun0/online  while a host is attached and
//                                                         the unit has a backing file
//   /sys/devices/platform/arc_udc/connected               while arcotg_udc is loaded and
//                                                         the cable is in
//
// UDC is fsl-usb2-udc on the MMC-boot boards (board id starting with K or
// P) and arc_udc on the others; the device setting udc_name overrides it.
// The script plugs the cable and a host in and out.
#pragma once

#include <string>
#include <vector>

#include "sim/devices.h"
#include "sim/script.h"

namespace sim {

class UsbController {
public:
    explicit UsbController(Kernel& kernel) : kernel_(kernel) {}

    void set_cable(bool in);
    void set_host(bool attached);  // a host needs the cable: on plugs it in
    bool cable() const { return cable_; }
    bool host() const { return host_; }

    std::string udc_name() const;
    // The unit's backing file; empty when none (or the gadget is not loaded).
    const std::string& backing_file();
    // Every write to the "file" entry, bytes as written, for tests.
    const std::vector<std::string>& file_writes() const { return file_writes_; }

    // The store of the "file" entry: the path up to a NUL or line end; an
    // empty path ejects the medium. count, or -1 with errno.
    ssize_t store_file(const void* buf, size_t count);

private:
    Kernel& kernel_;
    bool cable_ = false;
    bool host_ = false;
    std::string backing_;
    std::vector<std::string> file_writes_;
};

void add_usb_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

// Script verb "usb cable|host on|off".
bool usb_verb(Kernel& kernel, const ScriptEvent& event, std::string& error);

}  // namespace sim

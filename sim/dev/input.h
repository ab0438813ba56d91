// The input event devices /dev/input/event0..3 of the simulated device.
//
// Which units exist is the device setting input_events (a list such as
// "0,1,2,3"). event0 (the keyboard) appears only while the mxc_keyb module
// is loaded and event1 (the five-way controller) only while fiveway is;
// event2 and event3 are built into the kernel. Each open descriptor has its
// own queue of native struct input_event records, filled from the moment
// it is opened, as evdev does: an event nobody has open is lost.
#pragma once

#include <linux/input.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "sim/devices.h"
#include "sim/script.h"

namespace sim {

constexpr unsigned input_units = 4;

class InputDevices {
public:
    explicit InputDevices(Kernel& kernel) : kernel_(kernel) {}

    bool present(unsigned unit) const;
    // Delivers one record, stamped with the virtual time, to every open
    // descriptor of the unit. Returns the number of descriptors reached.
    int emit(unsigned unit, uint16_t type, uint16_t code, int32_t value);
    std::unique_ptr<OpenFile> open(unsigned unit, int flags);

private:
    using Queue = std::deque<input_event>;
    Kernel& kernel_;
    std::vector<std::weak_ptr<Queue>> clients_[input_units];
};

void add_input_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

// A key name as the script gives it ("KEY_A", "a", "enter", "30") to its
// Linux key code; -1 when unknown.
int key_code(const std::string& name);

// Script verbs: "key [eventN] NAME|CODE [stroke|press|release|repeat]" and
// "input [eventN] TYPE CODE VALUE" (one raw record).
bool key_verb(Kernel& kernel, const ScriptEvent& event, std::string& error);
bool input_verb(Kernel& kernel, const ScriptEvent& event, std::string& error);

}  // namespace sim

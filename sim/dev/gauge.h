// The battery gauge of the simulated device: a chip at address 0x55 on the
// I2C bus /dev/i2c/0, answering I2C_RDWR transfers from a file of 128 byte
// registers. The script sets the charge and other registers over time,
// makes a register unstable (each read returns a new value) and makes the
// bus fail.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/devices.h"
#include "sim/script.h"

namespace sim {

constexpr uint16_t gauge_address = 0x55;

class Gauge {
public:
    // Registers start healthy: the device setting battery (percent, 80 when
    // unset), 25 degrees Celsius, 3.9 V, a small charge current.
    explicit Gauge(Kernel& kernel);

    void set_charge(unsigned percent);
    void set(unsigned reg, uint8_t value) { registers_.at(reg) = value; }
    uint8_t get(unsigned reg) const { return registers_.at(reg); }
    // The next count reads of reg (every read when count < 0) each return
    // the previous value plus one.
    void make_unstable(unsigned reg, long count) { unstable_reg_ = reg, unstable_left_ = count; }
    // The next count transfers (every transfer when count < 0) fail.
    void fail_transfers(long count) { failures_left_ = count; }

    // One message of a combined transfer (first: it opens the transfer);
    // 0, or -1 with errno.
    int transfer(uint16_t flags, bool first, std::vector<uint8_t>& bytes);
    long reads() const { return reads_; }

private:
    std::array<uint8_t, 128> registers_ {};
    uint8_t pointer_ = 0;
    unsigned unstable_reg_ = 0;
    long unstable_left_ = 0;
    long failures_left_ = 0;
    long reads_ = 0;
    friend class I2cBusFile;
};

void add_gauge_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

// A register given by name ("CSOC", "TEMP_L") or number ("0x2c"); a word
// name without _L/_H ("TEMP") gives its low register and sets word.
int gauge_register(const std::string& name, bool& word);

// Script verbs: "battery PCT [over SECONDS]", "gauge REG VALUE", "gauge-unstable REG
// [COUNT]", "gauge-error [COUNT|on|off]".
bool battery_verb(Kernel& kernel, const ScriptEvent& event, std::string& error);
bool gauge_verb(Kernel& kernel, const ScriptEvent& event, std::string& error);
bool gauge_unstable_verb(Kernel& kernel, const ScriptEvent& event, std::string& error);
bool gauge_error_verb(Kernel& kernel, const ScriptEvent& event, std::string& error);

}  // namespace sim

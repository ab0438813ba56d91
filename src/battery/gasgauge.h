// The battery's fuel-gauge chip at address 0x55 on the first I2C bus: its
// byte registers, consistent 16-bit readings and the converted values.
// Callers open a handle, take one reading and close it again.
#pragma once

#include <cstdint>

namespace qm {

struct gasgauge {
    const char* name;  // "/dev/i2c/0", the prefix of every message; null once closed
    int fd;            // -1 once closed
    uint8_t address;   // 0x55
    int locked;        // while non-zero every register access fails without touching the bus
};

// A new handle on the open bus, or null (reported with perror).
[[nodiscard]] gasgauge* gasgauge_open();
// Closes and frees the handle; accepts null.
void gasgauge_close(gasgauge* gauge);

// Readings: -1 on failure.
[[nodiscard]] int gasgauge_charge_percent(gasgauge* gauge);  // 0 to 100
[[nodiscard]] int gasgauge_temperature(gasgauge* gauge);     // degrees Fahrenheit
[[nodiscard]] int gasgauge_current(gasgauge* gauge);
[[nodiscard]] int gasgauge_voltage(gasgauge* gauge);

// Raw register access: 1 on success, 0 on failure (reported).
[[nodiscard]] int gasgauge_get_rawbyte(gasgauge* gauge, unsigned reg, uint8_t* out);
// The pair reg (low) and reg + 1 (high), read until both high bytes agree.
[[nodiscard]] int gasgauge_get_rawword(gasgauge* gauge, unsigned reg, uint16_t* out);
[[nodiscard]] int gasgauge_set_rawbyte(gasgauge* gauge, unsigned reg, uint8_t value);

// The register's name, or null when it has none.
[[nodiscard]] const char* gasgauge_regname(unsigned reg);
// 1 when the register number is usable (0 to 0x7F) on a handle.
[[nodiscard]] int check_reg(gasgauge* gauge, unsigned reg);

}  // namespace qm

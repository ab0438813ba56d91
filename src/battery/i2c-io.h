// Single-register transfers on an I2C bus, each one combined transfer of
// two messages (I2C_RDWR) carrying the slave address.
#pragma once

#include <cstdint>

namespace qm {

// Seconds a gauge has to answer an open or a transfer; a request that
// takes longer fails with EINTR.
inline constexpr unsigned gauge_answer_seconds = 2;

// The register's byte (0 to 255), or the negated error number.
[[nodiscard]] int i2c_read_byte_data(int fd, uint8_t address, uint8_t reg);

// 0, or the negated error number.
[[nodiscard]] int i2c_write_byte_data(int fd, uint8_t address, uint8_t reg, uint8_t value);

}  // namespace qm

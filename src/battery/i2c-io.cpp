#include "battery/i2c-io.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cerrno>

#include "sys/kernel.h"
#include "sys/time_limit.h"

namespace qm {

namespace {

int transfer(int fd, i2c_msg (&messages)[2]) {
    i2c_rdwr_ioctl_data data {messages, 2};
    // A chip that holds the bus fails the transfer (EINTR) in time.
    sys::TimeLimit limit(gauge_answer_seconds);
    if (sys::kernel().ioctl(fd, I2C_RDWR, &data) < 0) return -errno;
    return 0;
}

}  // namespace

int i2c_read_byte_data(int fd, uint8_t address, uint8_t reg) {
    uint8_t value = 0xFF;
    i2c_msg messages[2] = {
        {address, 0, 1, &reg},
        {address, I2C_M_RD, 1, &value},
    };
    const int result = transfer(fd, messages);
    return result < 0 ? result : value;
}

int i2c_write_byte_data(int fd, uint8_t address, uint8_t reg, uint8_t value) {
    i2c_msg messages[2] = {
        {address, 0, 1, &reg},
        {address, 0, 1, &value},
    };
    return transfer(fd, messages);
}

}  // namespace qm

// SPDX-License-Identifier: GPL-2.0
/*
 * The battery gauge of the end-to-end machine: an I2C bus whose only chip,
 * at address 0x55, is a file of 128 byte registers, as the reader's fuel
 * gauge presents them. In one transfer the first byte written sets the
 * register pointer, further written bytes are stored from there on, and
 * read bytes come from there on. The charge (registers 0x0B and 0x2C) is
 * the module parameter "charge".
 */
#include <linux/i2c.h>
#include <linux/module.h>
#include <linux/mutex.h>

#define GAUGE_ADDRESS 0x55

static unsigned int charge = 80;
module_param(charge, uint, 0444);
MODULE_PARM_DESC(charge, "battery charge in percent");

static u8 registers[128];
static unsigned int pointer;
static DEFINE_MUTEX(gauge_lock);

static void set_word(unsigned int reg, u16 value)
{
	registers[reg] = value & 0xff;
	registers[reg + 1] = value >> 8;
}

static int gauge_xfer(struct i2c_adapter *adapter, struct i2c_msg *msgs, int count)
{
	int i;
	u16 j;

	mutex_lock(&gauge_lock);
	for (i = 0; i < count; i++) {
		struct i2c_msg *msg = &msgs[i];

		if (msg->addr != GAUGE_ADDRESS) {
			mutex_unlock(&gauge_lock);
			return -ENXIO;
		}
		for (j = 0; j < msg->len; j++) {
			if (msg->flags & I2C_M_RD) {
				msg->buf[j] = registers[pointer];
				pointer = (pointer + 1) & 0x7f;
			} else if (j == 0) {
				pointer = msg->buf[0] & 0x7f;
			} else {
				registers[pointer] = msg->buf[j];
				pointer = (pointer + 1) & 0x7f;
			}
		}
	}
	mutex_unlock(&gauge_lock);
	return count;
}

static u32 gauge_functionality(struct i2c_adapter *adapter)
{
	return I2C_FUNC_I2C;
}

static const struct i2c_algorithm gauge_algorithm = {
	.master_xfer = gauge_xfer,
	.functionality = gauge_functionality,
};

static struct i2c_adapter gauge_adapter = {
	.owner = THIS_MODULE,
	.algo = &gauge_algorithm,
	.name = "e2e battery gauge",
	.nr = 0,
};

static int __init gauge_init(void)
{
	registers[0x0B] = charge;
	registers[0x2C] = charge;
	set_word(0x06, 1192); /* quarter kelvins: 298 K */
	set_word(0x08, 3900); /* millivolts */
	set_word(0x14, 1120);
	set_word(0x0E, 1480);
	return i2c_add_numbered_adapter(&gauge_adapter);
}

static void __exit gauge_exit(void)
{
	i2c_del_adapter(&gauge_adapter);
}

module_init(gauge_init);
module_exit(gauge_exit);
MODULE_DESCRIPTION("Battery gauge of the end-to-end test machine");
MODULE_LICENSE("GPL");

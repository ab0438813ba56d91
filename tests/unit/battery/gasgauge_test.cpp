#include "battery/gasgauge.h"

#include <gtest/gtest.h>

#include "sim/dev/gauge.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

class GasGauge : public testing::Test {
protected:
    GasGauge() : gauge_(qm::gasgauge_open()) {}
    ~GasGauge() override { qm::gasgauge_close(gauge_); }
    sim::Gauge& chip() { return device_.kernel().state<sim::Gauge>(); }
    void set_word(unsigned low, unsigned value) {
        chip().set(low, static_cast<uint8_t>(value & 0xff));
        chip().set(low + 1, static_cast<uint8_t>(value >> 8));
    }

    test::SimDevice device_;
    qm::gasgauge* gauge_;
};

TEST_F(GasGauge, OpensTheBusAtTheGaugeAddress) {
    ASSERT_NE(gauge_, nullptr);
    EXPECT_STREQ(gauge_->name, "/dev/i2c/0");
    EXPECT_EQ(gauge_->address, 0x55);
    EXPECT_EQ(gauge_->locked, 0);
    EXPECT_EQ(qm::gasgauge_charge_percent(gauge_), 80);  // a new device's battery
}

TEST_F(GasGauge, ChargeOfAHundredIsTheLimit) {
    chip().set_charge(100);
    EXPECT_EQ(qm::gasgauge_charge_percent(gauge_), 100);
    chip().set_charge(101);
    device_.take_console();
    EXPECT_EQ(qm::gasgauge_charge_percent(gauge_), -1);
    EXPECT_EQ(device_.take_console(), "/dev/i2c/0:gasgauge charge appears to be larger than 100%\n");
    chip().set_charge(0);
    EXPECT_EQ(qm::gasgauge_charge_percent(gauge_), 0);
}

TEST_F(GasGauge, ChipThatStopsAnsweringFailsTheReadingInTwoSeconds) {
    std::string error;
    device_.kernel().faults().add(*sim::parse_fault("hang:/dev/i2c/0", error));
    device_.take_console();
    EXPECT_EQ(qm::gasgauge_charge_percent(gauge_), -1);
    EXPECT_EQ(device_.take_console(), "/dev/i2c/0:Interrupted system call\n");
    EXPECT_EQ(device_.kernel().clock().now(), 2 * sim::one_second);
}

struct Conversion {
    const char* name;
    unsigned low;
    unsigned raw;
    int (*reading)(qm::gasgauge*);
    int expected;
};

class GaugeConversion : public GasGauge, public testing::WithParamInterface<Conversion> {};

TEST_P(GaugeConversion, RawPairToValue) {
    set_word(GetParam().low, GetParam().raw);
    EXPECT_EQ(GetParam().reading(gauge_), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Readings, GaugeConversion,
    testing::Values(Conversion{"room_temperature", 0x06, 1192, qm::gasgauge_temperature, 77},
                    Conversion{"freezing_point", 0x06, 1092, qm::gasgauge_temperature, 32},
                    Conversion{"below_zero_truncates", 0x06, 1000, qm::gasgauge_temperature, -9},
                    Conversion{"current_rounds_down", 0x14, 1120, qm::gasgauge_current, 199},
                    Conversion{"current_full_scale", 0x14, 65535, qm::gasgauge_current, 11697},
                    Conversion{"voltage_unchanged", 0x08, 3912, qm::gasgauge_voltage, 3912},
                    Conversion{"voltage_high_byte", 0x08, 0xFF01, qm::gasgauge_voltage, 0xFF01}),
    test::ParamName());

TEST_F(GasGauge, StableWordTakesThreeReads) {
    set_word(0x08, 0x0F3C);
    const long before = chip().reads();
    uint16_t value = 0;
    EXPECT_EQ(qm::gasgauge_get_rawword(gauge_, 0x08, &value), 1);
    EXPECT_EQ(value, 0x0F3C);
    EXPECT_EQ(chip().reads() - before, 3);
}

TEST_F(GasGauge, UnstableHighByteGivesUpAfterThirtyThreeReads) {
    chip().make_unstable(0x09, -1);
    const long before = chip().reads();
    device_.take_console();
    uint16_t value = 0x1234;
    EXPECT_EQ(qm::gasgauge_get_rawword(gauge_, 0x08, &value), 0);
    EXPECT_EQ(chip().reads() - before, 33);
    EXPECT_EQ(value, 0x1234);
    EXPECT_EQ(device_.take_console(), "/dev/i2c/0:gasgauge reading unstable\n");
}

TEST_F(GasGauge, WordSettlesOnceTheHighByteHolds) {
    chip().set(0x08, 0x10);
    chip().set(0x09, 0x0E);
    chip().make_unstable(0x09, 2);  // the first attempt sees 0x0F then 0x10
    uint16_t value = 0;
    const long before = chip().reads();
    EXPECT_EQ(qm::gasgauge_get_rawword(gauge_, 0x08, &value), 1);
    EXPECT_EQ(value, 0x1010);
    EXPECT_EQ(chip().reads() - before, 6);
}

TEST_F(GasGauge, BusErrorFailsTheReading) {
    chip().fail_transfers(1);
    device_.take_console();
    EXPECT_EQ(qm::gasgauge_voltage(gauge_), -1);
    EXPECT_EQ(device_.take_console(), "/dev/i2c/0:Input/output error\n");
    EXPECT_EQ(qm::gasgauge_voltage(gauge_), 3900);
    chip().fail_transfers(-1);
    uint16_t value = 0;
    EXPECT_EQ(qm::gasgauge_get_rawword(gauge_, 0x08, &value), 0);
    EXPECT_EQ(qm::gasgauge_temperature(gauge_), -1);
    EXPECT_EQ(qm::gasgauge_charge_percent(gauge_), -1);
}

TEST_F(GasGauge, RegisterNumbersAreChecked) {
    device_.take_console();
    EXPECT_EQ(qm::check_reg(gauge_, 0x7F), 1);
    EXPECT_EQ(qm::check_reg(gauge_, 0x80), 0);
    EXPECT_EQ(device_.take_console(), "/dev/i2c/0:invalid gasgauge register 0x80\n");
    EXPECT_EQ(qm::check_reg(nullptr, 0x10), 0);
    uint8_t byte = 0;
    const long before = chip().reads();
    EXPECT_EQ(qm::gasgauge_get_rawbyte(gauge_, 0x80, &byte), 0);
    EXPECT_EQ(chip().reads(), before);
}

TEST_F(GasGauge, WritesReachTheRegister) {
    EXPECT_EQ(qm::gasgauge_set_rawbyte(gauge_, 0x01, 0x5A), 1);
    EXPECT_EQ(chip().get(0x01), 0x5A);
    uint8_t byte = 0;
    EXPECT_EQ(qm::gasgauge_get_rawbyte(gauge_, 0x01, &byte), 1);
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(GasGauge, LockedHandleNeverTouchesTheBus) {
    gauge_->locked = 1;
    const long before = chip().reads();
    uint8_t byte = 0;
    EXPECT_EQ(qm::gasgauge_get_rawbyte(gauge_, 0x2C, &byte), 0);
    EXPECT_EQ(qm::gasgauge_set_rawbyte(gauge_, 0x01, 1), 0);
    EXPECT_EQ(qm::gasgauge_charge_percent(gauge_), -1);
    EXPECT_EQ(chip().reads(), before);
    EXPECT_EQ(chip().get(0x01), 0);
}

TEST(GasGaugeNames, RegisterNames) {
    EXPECT_STREQ(qm::gasgauge_regname(0x2C), "CSOC");
    EXPECT_STREQ(qm::gasgauge_regname(0x00), "CTRL");
    EXPECT_STREQ(qm::gasgauge_regname(0x79), "EE_ISLC_EDVT");
    EXPECT_STREQ(qm::gasgauge_regname(0x7F), "EE_TCOMP");
    EXPECT_EQ(qm::gasgauge_regname(0x1E), nullptr);
    EXPECT_EQ(qm::gasgauge_regname(0x22), nullptr);
    EXPECT_EQ(qm::gasgauge_regname(0x64), nullptr);
    EXPECT_EQ(qm::gasgauge_regname(0x80), nullptr);
}

TEST(GasGaugeOpen, CloseAcceptsNullAndAMissingBusGivesNull) {
    qm::gasgauge_close(nullptr);
    test::SimDevice device;
    device.kernel().faults().add({sim::Fault::Kind::vanish, "/dev/i2c/0", 0});
    EXPECT_EQ(qm::gasgauge_open(), nullptr);
    EXPECT_EQ(device.console(), "/dev/i2c/0: No such file or directory\n");
}

}  // namespace

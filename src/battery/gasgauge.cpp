#include "battery/gasgauge.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "battery/i2c-io.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/time_limit.h"

namespace qm {

namespace {

constexpr const char* bus_device = "/dev/i2c/0";
constexpr uint8_t gauge_address = 0x55;
constexpr unsigned last_register = 0x7F;
constexpr int stable_attempts = 10;

constexpr unsigned reg_temp_l = 0x06;
constexpr unsigned reg_temp_h = 0x07;
constexpr unsigned reg_volt_l = 0x08;
constexpr unsigned reg_volt_h = 0x09;
constexpr unsigned reg_ai_l = 0x14;
constexpr unsigned reg_ai_h = 0x15;
constexpr unsigned reg_csoc = 0x2C;

struct register_name {
    unsigned reg;
    const char* name;
};

constexpr register_name register_names[] = {
    {0x00, "CTRL"},    {0x01, "MODE"},    {0x02, "AR_L"},     {0x03, "AR_H"},     {0x04, "ARTTE_L"},
    {0x05, "ARTTE_H"}, {0x06, "TEMP_L"},  {0x07, "TEMP_H"},   {0x08, "VOLT_L"},   {0x09, "VOLT_H"},
    {0x0A, "FLAGS"},   {0x0B, "RSOC"},    {0x0C, "NAC_L"},    {0x0D, "NAC_H"},    {0x0E, "LMD_L"},
    {0x0F, "LMD_H"},   {0x10, "CAC_L"},   {0x11, "CAC_H"},    {0x12, "FCAC_L"},   {0x13, "FCAC_H"},
    {0x14, "AI_L"},    {0x15, "AI_H"},    {0x16, "TTE_L"},    {0x17, "TTE_H"},    {0x18, "TTF_L"},
    {0x19, "TTF_H"},   {0x1A, "SI_L"},    {0x1B, "SI_H"},     {0x1C, "STTE_L"},   {0x1D, "STTE_H"},
    {0x20, "CEDV_L"},  {0x21, "CEDV_H"},  {0x26, "TTECP_L"},  {0x27, "TTECP_H"},  {0x28, "CYCL_L"},
    {0x29, "CYCL_H"},  {0x2A, "CYCT_L"},  {0x2B, "CYCT_H"},   {0x2C, "CSOC"},     {0x63, "EE_EN"},
    {0x76, "EE_ILMD"}, {0x77, "EE_SEDVF"}, {0x78, "EE_SEDV1"}, {0x79, "EE_ISLC_EDVT"}, {0x7A, "EE_DMFSD"},
    {0x7B, "EE_TAPER"}, {0x7C, "EE_PKCFG"}, {0x7D, "EE_GAF_DEDV"}, {0x7E, "EE_DCOMP"}, {0x7F, "EE_TCOMP"},
};

// The unsigned value of the pair low, high read one byte at a time.
int read_pair(gasgauge* gauge, unsigned low, unsigned high, unsigned* value) {
    uint8_t l = 0, h = 0;
    if (!gasgauge_get_rawbyte(gauge, low, &l) || !gasgauge_get_rawbyte(gauge, high, &h)) return 0;
    *value = static_cast<unsigned>(h) * 256 + l;
    return 1;
}

}  // namespace

gasgauge* gasgauge_open() {
    auto* gauge = new (std::nothrow) gasgauge{};
    if (gauge == nullptr) {
        report_perror("calloc()", ENOMEM);
        return nullptr;
    }
    auto& k = sys::kernel();
    gauge->name = bus_device;
    gauge->address = gauge_address;
    {
        // A gauge that does not answer counts as no gauge rather than
        // holding the boot until the watchdog restarts the device.
        sys::TimeLimit limit(gauge_answer_seconds);
        gauge->fd = k.open(gauge->name, O_RDWR);
    }
    if (gauge->fd < 0) {
        report_perror(gauge->name, errno);
        gauge->name = nullptr;
        delete gauge;
        return nullptr;
    }
    // The normal boot program must not inherit the bus.
    if (k.fcntl_setfd(gauge->fd, FD_CLOEXEC) != 0) report_perror(gauge->name, errno);
    gauge->locked = 0;
    return gauge;
}

void gasgauge_close(gasgauge* gauge) {
    if (gauge == nullptr || gauge->name == nullptr || gauge->fd < 0) return;
    gauge->name = nullptr;
    sys::kernel().close(gauge->fd);
    gauge->fd = -1;
    delete gauge;
}

const char* gasgauge_regname(unsigned reg) {
    for (const auto& r : register_names)
        if (r.reg == reg) return r.name;
    return nullptr;
}

int check_reg(gasgauge* gauge, unsigned reg) {
    if (gauge == nullptr) return 0;
    if (reg > last_register) {
        err("%s:invalid gasgauge register 0x%02X\n", gauge->name, reg);
        return 0;
    }
    return 1;
}

int gasgauge_get_rawbyte(gasgauge* gauge, unsigned reg, uint8_t* out) {
    if (gauge == nullptr || out == nullptr || gauge->locked || !check_reg(gauge, reg)) return 0;
    const int result = i2c_read_byte_data(gauge->fd, gauge->address, static_cast<uint8_t>(reg & 0xFF));
    if (result < 0) {
        err("%s:%s\n", gauge->name, std::strerror(-result));
        return 0;
    }
    *out = static_cast<uint8_t>(result);
    return 1;
}

int gasgauge_set_rawbyte(gasgauge* gauge, unsigned reg, uint8_t value) {
    if (gauge == nullptr || gauge->locked || !check_reg(gauge, reg)) return 0;
    const int result = i2c_write_byte_data(gauge->fd, gauge->address, static_cast<uint8_t>(reg & 0xFF), value);
    if (result < 0) {
        err("%s:%s\n", gauge->name, std::strerror(-result));
        return 0;
    }
    return 1;
}

int gasgauge_get_rawword(gasgauge* gauge, unsigned reg, uint16_t* out) {
    if (gauge == nullptr || out == nullptr) return 0;
    // The chip updates the pair while it is read: a reading counts only
    // when the high byte is the same before and after the low byte.
    for (int attempt = 1;; ++attempt) {
        uint8_t high = 0, low = 0, high_again = 0;
        if (!gasgauge_get_rawbyte(gauge, reg + 1, &high) || !gasgauge_get_rawbyte(gauge, reg, &low) ||
            !gasgauge_get_rawbyte(gauge, reg + 1, &high_again))
            return 0;
        if (attempt > stable_attempts) {
            err("%s:gasgauge reading unstable\n", gauge->name);
            return 0;
        }
        if (high == high_again) {
            *out = static_cast<uint16_t>(high * 256 + low);
            return 1;
        }
    }
}

int gasgauge_charge_percent(gasgauge* gauge) {
    uint8_t charge = 0;
    if (!gasgauge_get_rawbyte(gauge, reg_csoc, &charge)) return -1;
    if (charge > 100) {
        err("%s:gasgauge charge appears to be larger than 100%%\n", gauge->name);
        return -1;
    }
    return charge;
}

int gasgauge_temperature(gasgauge* gauge) {
    unsigned raw = 0;
    if (!read_pair(gauge, reg_temp_l, reg_temp_h, &raw)) return -1;
    // Quarter kelvins, rounded to the nearest kelvin.
    const int kelvin = static_cast<int>((raw + 2) / 4);
    const int celsius = kelvin - 273;
    return celsius * 9 / 5 + 32;
}

int gasgauge_current(gasgauge* gauge) {
    unsigned raw = 0;
    if (!read_pair(gauge, reg_ai_l, reg_ai_h, &raw)) return -1;
    return static_cast<int>(raw * 357 / 2000);
}

int gasgauge_voltage(gasgauge* gauge) {
    unsigned raw = 0;
    if (!read_pair(gauge, reg_volt_l, reg_volt_h, &raw)) return -1;
    return static_cast<int>(raw);
}

}  // namespace qm

#include "sim/dev/gauge.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "sim/kernel.h"

namespace sim {

namespace {

constexpr unsigned i2c_major = 89;
constexpr unsigned reg_csoc = 0x2C;
constexpr unsigned reg_rsoc = 0x0B;

struct RegName {
    const char* name;
    unsigned reg;
};
constexpr RegName reg_names[] = {
    {"CTRL", 0x00},   {"MODE", 0x01},   {"AR", 0x02},    {"ARTTE", 0x04}, {"TEMP", 0x06},  {"VOLT", 0x08},
    {"FLAGS", 0x0A},  {"RSOC", 0x0B},   {"NAC", 0x0C},   {"LMD", 0x0E},   {"CAC", 0x10},   {"FCAC", 0x12},
    {"AI", 0x14},     {"TTE", 0x16},    {"TTF", 0x18},   {"SI", 0x1A},    {"STTE", 0x1C},  {"CEDV", 0x20},
    {"TTECP", 0x26},  {"CYCL", 0x28},   {"CYCT", 0x2A},  {"CSOC", 0x2C},  {"EE_EN", 0x63},
};
// Names of single registers; the word names above take _L and _H.
constexpr const char* byte_names[] = {"CTRL", "MODE", "FLAGS", "RSOC", "CSOC", "EE_EN"};

void set_word(std::array<uint8_t, 128>& regs, unsigned low, unsigned value) {
    regs[low] = static_cast<uint8_t>(value & 0xff);
    regs[low + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

class I2cBusFile final : public OpenFile {
public:
    explicit I2cBusFile(Kernel& kernel) : kernel_(kernel) {}

    ssize_t read(void*, size_t) override {
        errno = EINVAL;  // plain reads need I2C_SLAVE, which this bus never gets
        return -1;
    }
    ssize_t write(const void*, size_t) override {
        errno = EINVAL;
        return -1;
    }
    int fstat(struct stat* st) override {
        *st = {};
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(i2c_major, 0);
        return 0;
    }
    int ioctl(unsigned long request, void* arg) override {
        if (request != I2C_RDWR) {
            errno = ENOTTY;
            return -1;
        }
        auto* data = static_cast<i2c_rdwr_ioctl_data*>(arg);
        if (data == nullptr || data->msgs == nullptr || data->nmsgs == 0 || data->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
            errno = EINVAL;
            return -1;
        }
        Gauge& gauge = kernel_.state<Gauge>();
        if (gauge.failures_left_ != 0) {
            if (gauge.failures_left_ > 0) --gauge.failures_left_;
            errno = EIO;
            return -1;
        }
        for (unsigned i = 0; i < data->nmsgs; ++i) {
            i2c_msg& msg = data->msgs[i];
            if (msg.addr != gauge_address) {
                errno = ENXIO;  // nobody acknowledges the address
                return -1;
            }
            if (msg.len > 0 && msg.buf == nullptr) {
                errno = EFAULT;
                return -1;
            }
            std::vector<uint8_t> bytes(msg.buf, msg.buf + msg.len);
            if (gauge.transfer(msg.flags, i == 0, bytes) != 0) return -1;
            if ((msg.flags & I2C_M_RD) != 0) std::copy(bytes.begin(), bytes.end(), msg.buf);
        }
        return static_cast<int>(data->nmsgs);
    }

private:
    Kernel& kernel_;
};

Gauge::Gauge(Kernel& kernel) {
    const long percent = kernel.device().setting_number("battery", 80);
    set_charge(static_cast<unsigned>(std::clamp(percent, 0L, 255L)));
    set_word(registers_, 0x06, 1192);  // quarter kelvins: 298 K
    set_word(registers_, 0x08, 3900);  // millivolts
    set_word(registers_, 0x14, 1120);
    set_word(registers_, 0x0E, 1480);
}

void Gauge::set_charge(unsigned percent) {
    registers_[reg_csoc] = static_cast<uint8_t>(percent);
    registers_[reg_rsoc] = static_cast<uint8_t>(percent);
}

int Gauge::transfer(uint16_t flags, bool first, std::vector<uint8_t>& bytes) {
    if ((flags & I2C_M_RD) == 0) {
        // The first byte of a transfer sets the register pointer; every
        // further byte written in the same transfer lands in the registers
        // from there on.
        for (size_t i = 0; i < bytes.size(); ++i) {
            if (first && i == 0) {
                pointer_ = bytes[0] & 0x7f;
                continue;
            }
            registers_[pointer_] = bytes[i];
            pointer_ = (pointer_ + 1) & 0x7f;
        }
        return 0;
    }
    for (auto& byte : bytes) {
        ++reads_;
        if (pointer_ == unstable_reg_ && unstable_left_ != 0) {
            if (unstable_left_ > 0) --unstable_left_;
            ++registers_[pointer_];
        }
        byte = registers_[pointer_];
        pointer_ = (pointer_ + 1) & 0x7f;
    }
    return 0;
}

void add_gauge_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    nodes.push_back({"/dev/i2c/0", S_IFCHR, makedev(i2c_major, 0), [&kernel](int) -> std::unique_ptr<OpenFile> {
                         return std::make_unique<I2cBusFile>(kernel);
                     }});
}

int gauge_register(const std::string& name, bool& word) {
    word = false;
    std::string upper;
    for (const char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* single : byte_names)
        if (upper == single)
            for (const auto& r : reg_names)
                if (upper == r.name) return static_cast<int>(r.reg);
    for (const auto& r : reg_names) {
        const std::string base = r.name;
        if (upper == base + "_L") return static_cast<int>(r.reg);
        if (upper == base + "_H") return static_cast<int>(r.reg + 1);
        if (upper == base) {
            word = true;
            return static_cast<int>(r.reg);
        }
    }
    char* end = nullptr;
    const long number = std::strtol(name.c_str(), &end, 0);
    if (!name.empty() && *end == '\0' && number >= 0 && number < 128) return static_cast<int>(number);
    return -1;
}

namespace {

std::vector<std::string> words_of(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

bool parse_long(const std::string& text, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0';
}

void later(Kernel& kernel, Micros at, std::function<void(Gauge&)> change) {
    kernel.clock().at(at, [&kernel, change] {
        change(kernel.state<Gauge>());
        return false;
    });
}

}  // namespace

bool battery_verb(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    const auto words = words_of(event.argument);
    long percent = 0;
    double seconds = 0;
    char* end = nullptr;
    if ((words.size() != 1 && words.size() != 3) || !parse_long(words[0], percent) || percent < 0 ||
        percent > 255 ||
        (words.size() == 3 && (words[1] != "over" || (seconds = std::strtod(words[2].c_str(), &end)) <= 0 ||
                               *end != '\0'))) {
        error = "battery needs a charge of 0 to 255 (percent) [over SECONDS]";
        return false;
    }
    const auto span = static_cast<Micros>(seconds * one_second);
    kernel.clock().at(event.at, [&kernel, percent, span, start = event.at] {
        Gauge& gauge = kernel.state<Gauge>();
        if (span == 0) {
            gauge.set_charge(static_cast<unsigned>(percent));
            return false;
        }
        // One percent at a time, evenly spread, the last step at the end.
        const long from = gauge.get(0x2C);
        const long steps = percent > from ? percent - from : from - percent;
        for (long i = 1; i <= steps; ++i) {
            const auto value = static_cast<unsigned>(percent > from ? from + i : from - i);
            kernel.clock().at(start + span * i / steps, [&kernel, value] {
                kernel.state<Gauge>().set_charge(value);
                return false;
            });
        }
        return false;
    });
    return true;
}

bool gauge_verb(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    const auto words = words_of(event.argument);
    bool word = false;
    long value = 0;
    const int reg = words.size() == 2 ? gauge_register(words[0], word) : -1;
    if (reg < 0 || !parse_long(words[1], value) || value < 0 || value > (word ? 0xffff : 0xff)) {
        error = "gauge needs REG VALUE (a register name or number, a byte or for a word name 16 bits)";
        return false;
    }
    later(kernel, event.at, [reg, word, value](Gauge& g) {
        g.set(static_cast<unsigned>(reg), static_cast<uint8_t>(value & 0xff));
        if (word) g.set(static_cast<unsigned>(reg) + 1, static_cast<uint8_t>(value >> 8));
    });
    return true;
}

bool gauge_unstable_verb(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    const auto words = words_of(event.argument);
    bool word = false;
    long count = -1;
    const int reg = !words.empty() && words.size() <= 2 ? gauge_register(words[0], word) : -1;
    if (reg < 0 || word || (words.size() == 2 && (!parse_long(words[1], count) || count < 0))) {
        error = "gauge-unstable needs REG [COUNT] (one register, not a word)";
        return false;
    }
    later(kernel, event.at, [reg, count](Gauge& g) { g.make_unstable(static_cast<unsigned>(reg), count); });
    return true;
}

bool gauge_error_verb(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    long count = 0;
    if (event.argument.empty() || event.argument == "on") count = -1;
    else if (event.argument == "off") count = 0;
    else if (!parse_long(event.argument, count) || count < 0) {
        error = "gauge-error needs COUNT, on or off";
        return false;
    }
    later(kernel, event.at, [count](Gauge& g) { g.fail_transfers(count); });
    return true;
}

}  // namespace sim

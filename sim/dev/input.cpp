#include "sim/dev/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "sim/kernel.h"

namespace sim {

namespace {

constexpr unsigned input_major = 13;
constexpr unsigned event_minor_base = 64;
// The driver module each unit belongs to; null: built into the kernel.
constexpr const char* unit_module[input_units] = {"mxc_keyb", "fiveway", nullptr, nullptr};

class EventFile final : public OpenFile {
public:
    EventFile(Kernel& kernel, unsigned unit, std::shared_ptr<std::deque<input_event>> queue)
        : kernel_(kernel), unit_(unit), queue_(std::move(queue)) {}

    ssize_t read(void* buf, size_t count) override {
        if (!kernel_.state<InputDevices>().present(unit_)) {
            errno = ENODEV;
            return -1;
        }
        if (count < sizeof(input_event)) {
            errno = EINVAL;
            return -1;
        }
        while (queue_->empty()) {
            if ((flags & O_NONBLOCK) != 0) {
                errno = EAGAIN;
                return -1;
            }
            const auto next = kernel_.clock().next_event();
            if (!next) kernel_.stuck("a read of " + path + " waits for an event that will never come");
            if (kernel_.clock().advance_to(*next)) {
                errno = EINTR;
                return -1;
            }
        }
        // Whole records only, as many as fit.
        size_t done = 0;
        while (!queue_->empty() && count - done >= sizeof(input_event)) {
            std::memcpy(static_cast<char*>(buf) + done, &queue_->front(), sizeof(input_event));
            queue_->pop_front();
            done += sizeof(input_event);
        }
        return static_cast<ssize_t>(done);
    }
    ssize_t write(const void*, size_t) override {
        errno = EINVAL;
        return -1;
    }
    int fstat(struct stat* st) override {
        *st = {};
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(input_major, event_minor_base + unit_);
        return 0;
    }
    bool input_ready() override { return !queue_->empty() || !kernel_.state<InputDevices>().present(unit_); }

private:
    Kernel& kernel_;
    unsigned unit_;
    std::shared_ptr<std::deque<input_event>> queue_;
};

// Names of the keys the script may press; any other key by its number.
struct KeyName {
    const char* name;
    int code;
};
constexpr KeyName key_names[] = {
    {"ESC", KEY_ESC},         {"1", KEY_1},           {"2", KEY_2},
    {"3", KEY_3},             {"4", KEY_4},           {"5", KEY_5},
    {"6", KEY_6},             {"7", KEY_7},           {"8", KEY_8},
    {"9", KEY_9},             {"0", KEY_0},           {"BACKSPACE", KEY_BACKSPACE},
    {"Q", KEY_Q},             {"W", KEY_W},           {"E", KEY_E},
    {"R", KEY_R},             {"T", KEY_T},           {"Y", KEY_Y},
    {"U", KEY_U},             {"I", KEY_I},           {"O", KEY_O},
    {"P", KEY_P},             {"ENTER", KEY_ENTER},   {"A", KEY_A},
    {"S", KEY_S},             {"D", KEY_D},           {"F", KEY_F},
    {"G", KEY_G},             {"H", KEY_H},           {"J", KEY_J},
    {"K", KEY_K},             {"L", KEY_L},           {"LEFTSHIFT", KEY_LEFTSHIFT},
    {"Z", KEY_Z},             {"X", KEY_X},           {"C", KEY_C},
    {"V", KEY_V},             {"B", KEY_B},           {"N", KEY_N},
    {"M", KEY_M},             {"RIGHTSHIFT", KEY_RIGHTSHIFT}, {"LEFTALT", KEY_LEFTALT},
    {"SPACE", KEY_SPACE},     {"F1", KEY_F1},         {"F2", KEY_F2},
    {"KATAKANA", KEY_KATAKANA}, {"HIRAGANA", KEY_HIRAGANA}, {"HENKAN", KEY_HENKAN},
    {"KPJPCOMMA", KEY_KPJPCOMMA}, {"KPENTER", KEY_KPENTER}, {"KPSLASH", KEY_KPSLASH},
    {"UP", KEY_UP},           {"PAGEUP", KEY_PAGEUP}, {"LEFT", KEY_LEFT},
    {"RIGHT", KEY_RIGHT},     {"DOWN", KEY_DOWN},     {"PAGEDOWN", KEY_PAGEDOWN},
    {"HANGEUL", KEY_HANGEUL}, {"HANJA", KEY_HANJA},   {"YEN", KEY_YEN},
    {"COMPOSE", KEY_COMPOSE}, {"POWER", KEY_POWER},   {"HOME", KEY_HOME},
    {"MENU", KEY_MENU},       {"BACK", KEY_BACK},
};

std::vector<unsigned> listed_units(const std::string& text) {
    std::vector<unsigned> units;
    std::string item;
    std::istringstream list(text);
    while (std::getline(list, item, ',')) {
        char* end = nullptr;
        const long unit = std::strtol(item.c_str(), &end, 10);
        if (!item.empty() && *end == '\0' && unit >= 0 && unit < static_cast<long>(input_units))
            units.push_back(static_cast<unsigned>(unit));
    }
    return units;
}

}  // namespace

bool InputDevices::present(unsigned unit) const {
    if (unit >= input_units) return false;
    const auto units = listed_units(kernel_.device().setting("input_events", "0,1,2,3"));
    if (std::find(units.begin(), units.end(), unit) == units.end()) return false;
    return unit_module[unit] == nullptr || kernel_.modules().loaded(unit_module[unit]);
}

int InputDevices::emit(unsigned unit, uint16_t type, uint16_t code, int32_t value) {
    if (!present(unit)) return 0;
    input_event record {};
    const Micros now = kernel_.clock().now();
    record.input_event_sec = Kernel::epoch + static_cast<time_t>(now / one_second);
    record.input_event_usec = static_cast<suseconds_t>(now % one_second);
    record.type = type;
    record.code = code;
    record.value = value;
    int reached = 0;
    auto& clients = clients_[unit];
    clients.erase(std::remove_if(clients.begin(), clients.end(), [](const auto& c) { return c.expired(); }),
                  clients.end());
    for (const auto& client : clients) {
        client.lock()->push_back(record);
        ++reached;
    }
    return reached;
}

std::unique_ptr<OpenFile> InputDevices::open(unsigned unit, int) {
    auto queue = std::make_shared<Queue>();
    clients_[unit].push_back(queue);
    return std::make_unique<EventFile>(kernel_, unit, std::move(queue));
}

void add_input_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    auto& devices = kernel.state<InputDevices>();
    for (unsigned unit = 0; unit < input_units; ++unit) {
        if (!devices.present(unit)) continue;
        nodes.push_back({"/dev/input/event" + std::to_string(unit), S_IFCHR,
                         makedev(input_major, event_minor_base + unit),
                         [&devices, unit](int flags) { return devices.open(unit, flags); }});
    }
}

int key_code(const std::string& name) {
    std::string upper;
    for (const char c : name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper.rfind("KEY_", 0) == 0) upper = upper.substr(4);
    for (const auto& key : key_names)
        if (upper == key.name) return key.code;
    // A bare number is the code itself, except the digit keys named above.
    char* end = nullptr;
    const long code = std::strtol(name.c_str(), &end, 0);
    if (!name.empty() && *end == '\0' && code >= 0 && code <= KEY_MAX) return static_cast<int>(code);
    return -1;
}

namespace {

// Splits the verb's argument into words and takes a leading "eventN".
std::vector<std::string> words_of(const std::string& text, unsigned& unit) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string word; in >> word;) words.push_back(word);
    unit = 0;
    if (!words.empty() && words[0].rfind("event", 0) == 0 && words[0].size() == 6 && words[0][5] >= '0' &&
        words[0][5] < static_cast<char>('0' + input_units)) {
        unit = static_cast<unsigned>(words[0][5] - '0');
        words.erase(words.begin());
    }
    return words;
}

bool parse_long(const std::string& text, long& value) {
    char* end = nullptr;
    value = std::strtol(text.c_str(), &end, 0);
    return !text.empty() && *end == '\0';
}

void schedule_records(Kernel& kernel, Micros at, unsigned unit, std::vector<input_event> records) {
    kernel.clock().at(at, [&kernel, unit, records] {
        for (const auto& r : records) kernel.state<InputDevices>().emit(unit, r.type, r.code, r.value);
        return false;
    });
}

input_event record(uint16_t type, uint16_t code, int32_t value) {
    input_event r {};
    r.type = type;
    r.code = code;
    r.value = value;
    return r;
}

}  // namespace

bool key_verb(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    unsigned unit = 0;
    const auto words = words_of(event.argument, unit);
    if (words.empty() || words.size() > 2) {
        error = "key needs [eventN] NAME|CODE [stroke|press|release|repeat]";
        return false;
    }
    const int code = key_code(words[0]);
    if (code < 0) {
        error = "unknown key '" + words[0] + "'";
        return false;
    }
    const std::string action = words.size() == 2 ? words[1] : "stroke";
    const auto key = static_cast<uint16_t>(code);
    std::vector<input_event> records;
    if (action == "stroke")
        records = {record(EV_KEY, key, 1), record(EV_SYN, SYN_REPORT, 0), record(EV_KEY, key, 0),
                   record(EV_SYN, SYN_REPORT, 0)};
    else if (action == "press") records = {record(EV_KEY, key, 1)};
    else if (action == "release") records = {record(EV_KEY, key, 0)};
    else if (action == "repeat") records = {record(EV_KEY, key, 2)};
    else {
        error = "unknown key action '" + action + "'";
        return false;
    }
    schedule_records(kernel, event.at, unit, std::move(records));
    return true;
}

bool input_verb(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    unsigned unit = 0;
    const auto words = words_of(event.argument, unit);
    long type = 0, code = 0, value = 0;
    if (words.size() != 3 || !parse_long(words[0], type) || !parse_long(words[1], code) ||
        !parse_long(words[2], value) || type < 0 || type > 0xffff || code < 0 || code > 0xffff) {
        error = "input needs [eventN] TYPE CODE VALUE";
        return false;
    }
    schedule_records(kernel, event.at, unit,
                     {record(static_cast<uint16_t>(type), static_cast<uint16_t>(code), static_cast<int32_t>(value))});
    return true;
}

}  // namespace sim

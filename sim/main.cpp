// quillmar-sim: makes simulated devices and powers them up with the device
// program's own code.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "boot/quillmar.h"
#include "input/rpscrambler.h"
#include "platform/boardid.h"
#include "sim/kernel.h"
#include "sim/report.h"
#include "sim/script.h"

namespace {

constexpr const char* usage =
    "usage:\n"
    "  quillmar-sim init DIR [--board ID] [--serial SN] [--mmc-size BYTES]\n"
    "                        [--mmc-heads N] [--mmc-sectors N] [--family mmc|nor]\n"
    "                        [--nor-kernel2 yes|no] [--card-size BYTES] [--panel WxH]\n"
    "                        [--screens all|none] [--battery PCT] [--input-events LIST]\n"
    "  quillmar-sim boot DIR [--script FILE] [--fault FAULT]... [--report FILE.html]\n"
    "  quillmar-sim password SERIAL\n"
    "\n"
    "init creates a simulated device in DIR; boot powers it up once and runs\n"
    "the device program until it hands over to /bin/kinit, reboots or powers\n"
    "off; --report writes a page of the run (console, panel pictures, how it\n"
    "ended) that any browser shows. password prints the service password of the device with that\n"
    "serial number (\"\" for a device without one).\n"
    "See docs/simulator.md for the device directory, scripts and faults.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "quillmar-sim: %s\n", message.c_str());
    return 2;
}

bool parse_size(const std::string& text, uint64_t& out) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str()) return false;
    const std::string suffix(end);
    uint64_t scale = 1;
    if (suffix == "K" || suffix == "KiB") scale = 1ULL << 10;
    else if (suffix == "M" || suffix == "MiB") scale = 1ULL << 20;
    else if (suffix == "G" || suffix == "GiB") scale = 1ULL << 30;
    else if (!suffix.empty()) return false;
    out = value * scale;
    return true;
}

bool parse_unsigned(const std::string& text, unsigned& out) {
    uint64_t value = 0;
    if (!parse_size(text, value) || value > 0xffffffffULL || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = static_cast<unsigned>(value);
    return true;
}

int init_command(const std::vector<std::string>& args) {
    if (args.empty() || args[0].rfind("--", 0) == 0) return fail("init needs a directory\n" + std::string(usage));
    sim::InitOptions options;
    for (size_t i = 1; i < args.size(); i += 2) {
        const std::string& flag = args[i];
        if (i + 1 >= args.size()) return fail(flag + " needs a value");
        const std::string& value = args[i + 1];
        if (flag == "--board") options.board_id = value;
        else if (flag == "--serial") options.serial = value;
        else if (flag == "--mmc-size") {
            if (!parse_size(value, options.mmc_size)) return fail("bad size '" + value + "'");
        } else if (flag == "--mmc-heads") {
            if (!parse_unsigned(value, options.mmc_heads)) return fail("bad head count '" + value + "'");
        } else if (flag == "--mmc-sectors") {
            if (!parse_unsigned(value, options.mmc_sectors)) return fail("bad sector count '" + value + "'");
        } else if (flag == "--panel") {
            options.panel = value;
        } else if (flag == "--screens") {
            if (value != "all" && value != "none") return fail("--screens takes all or none");
            options.record_screens = value == "all";
        } else if (flag == "--battery") {
            if (!parse_unsigned(value, options.battery) || options.battery > 100)
                return fail("bad battery charge '" + value + "' (0 to 100)");
        } else if (flag == "--input-events") {
            if (value.find_first_not_of("0123,") != std::string::npos) return fail("bad unit list '" + value + "'");
            options.input_events = value;
        } else if (flag == "--family") {
            options.family = value;
        } else if (flag == "--nor-kernel2") {
            if (value != "yes" && value != "no") return fail("--nor-kernel2 takes yes or no");
            options.nor_kernel2 = value == "yes";
        } else if (flag == "--card-size") {
            if (!parse_size(value, options.card_size)) return fail("bad size '" + value + "'");
        } else {
            return fail("unknown option " + flag);
        }
    }
    std::string error;
    if (!sim::init_device(args[0], options, error)) return fail(error);
    return 0;
}

int boot_command(const std::vector<std::string>& args) {
    if (args.empty() || args[0].rfind("--", 0) == 0) return fail("boot needs a directory\n" + std::string(usage));
    std::string script_path;
    std::string report_path;
    std::vector<sim::Fault> faults;
    std::vector<std::string> fault_texts;
    std::string error;
    for (size_t i = 1; i < args.size(); i += 2) {
        const std::string& flag = args[i];
        if (i + 1 >= args.size()) return fail(flag + " needs a value");
        if (flag == "--script") script_path = args[i + 1];
        else if (flag == "--report") {
            report_path = args[i + 1];
        } else if (flag == "--fault") {
            const auto fault = sim::parse_fault(args[i + 1], error);
            if (!fault) return fail(error);
            faults.push_back(*fault);
            fault_texts.push_back(args[i + 1]);
        } else {
            return fail("unknown option " + flag);
        }
    }

    sim::DeviceDir device;
    if (!device.load(args[0], error)) return fail(error);
    std::vector<sim::ScriptEvent> events;
    if (!script_path.empty()) {
        struct stat status {};
        if (::stat(script_path.c_str(), &status) != 0)
            return fail("cannot read script " + script_path + ": " + std::strerror(errno));
        if (!S_ISREG(status.st_mode)) return fail("cannot read script " + script_path + ": not a regular file");
        std::ifstream file(script_path);
        if (!file) return fail("cannot read script " + script_path);
        std::stringstream text;
        text << file.rdbuf();
        if (!sim::parse_script(text.str(), events, error)) return fail(script_path + ": " + error);
    }

    const auto input = !script_path.empty() ? sim::Console::Input::silent
                       : ::isatty(0)        ? sim::Console::Input::terminal
                                            : sim::Console::Input::pipe;
    static sim::Kernel kernel(device, input);
    for (const auto& fault : faults) kernel.faults().add(fault);
    for (const auto& event : events)
        if (!sim::schedule_event(kernel, event, error)) return fail(script_path + ": " + error);
    if (!report_path.empty()) {
        static sim::RunReport report(report_path, args[0]);
        if (!report.start(error)) return fail(error);
        kernel.keep_report(report);
        // What the script does to the device shows where it happened; a
        // typed line shows when the program reads it.
        for (const auto& event : events) {
            if (event.verb == "console") continue;
            std::string text = "script: " + event.verb + (event.argument.empty() ? "" : " " + event.argument);
            kernel.clock().at(event.at, [text] {
                if (sim::RunReport* page = kernel.report()) page->event(kernel.clock().now(), text);
                return false;
            });
        }
        for (const auto& fault : fault_texts) report.event(0, "fault: " + fault);
    }

    sys::install(kernel);
    sys::exit_process(qm::quillmar_main());
}

}  // namespace

int password_command(const std::vector<std::string>& args) {
    if (args.size() != 1) return fail("password needs one serial number");
    // The serial number as the device reads it: at most 19 characters, and
    // none at all when one of them is not printable.
    std::string serial = args[0].substr(0, 19);
    if (!qm::check_string(serial.c_str())) serial.clear();
    char password[16];
    qm::rpscramble_gen(serial.c_str(), sizeof password, password);
    std::printf("%s\n", password);
    return 0;
}

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "init") return init_command(args);
    if (command == "boot") return boot_command(args);
    if (command == "password") return password_command(args);
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("quillmar-sim (quillmar) %s\n", QM_VERSION);
        return 0;
    }
    std::fputs(usage, stderr);
    return 2;
}

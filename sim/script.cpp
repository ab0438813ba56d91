#include "sim/script.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

#include "sim/dev/gauge.h"
#include "sim/dev/input.h"
#include "sim/dev/usb.h"
#include "sim/kernel.h"

namespace sim {

namespace {

bool parse_time(const std::string& text, Micros previous, Micros& at) {
    const bool relative = !text.empty() && text[0] == '+';
    const std::string number = relative ? text.substr(1) : text;
    if (number.empty() || !(std::isdigit(static_cast<unsigned char>(number[0])) || number[0] == '.')) return false;
    char* end = nullptr;
    const double seconds = std::strtod(number.c_str(), &end);
    if (*end != '\0' || seconds < 0) return false;
    at = static_cast<Micros>(seconds * one_second + 0.5) + (relative ? previous : 0);
    return true;
}

int signal_number(const std::string& text) {
    static const std::pair<const char*, int> names[] = {
        {"HUP", SIGHUP}, {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},   {"ABRT", SIGABRT},
        {"FPE", SIGFPE}, {"SEGV", SIGSEGV}, {"TERM", SIGTERM}, {"ALRM", SIGALRM}, {"USR1", SIGUSR1},
    };
    std::string name = text;
    if (name.rfind("SIG", 0) == 0) name = name.substr(3);
    for (const auto& [known, number] : names)
        if (name == known) return number;
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    return (!text.empty() && *end == '\0' && number > 0 && number < 32) ? static_cast<int>(number) : 0;
}

using Verb = bool (*)(Kernel& kernel, const ScriptEvent& event, std::string& error);

// "console TEXT": a line typed on the serial console (ENTER alone when empty).
bool console_line(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    std::string bytes;
    if (!unescape(event.argument, bytes)) {
        error = "bad escape in console text";
        return false;
    }
    kernel.clock().at(event.at, [&kernel, bytes] {
        kernel.console().type_line(bytes);
        return false;
    });
    return true;
}

// "console-eof": an end of file on the console, as ^D at a line's start.
bool console_eof(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    if (!event.argument.empty()) {
        error = "console-eof takes no argument";
        return false;
    }
    kernel.clock().at(event.at, [&kernel] {
        kernel.console().end_of_file();
        return false;
    });
    return true;
}

// "console-hangup [EIO|EAGAIN]": the console is gone for good; every read
// from then on returns 0 bytes, or fails with the error named.
bool console_hangup(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    int error_number = 0;
    if (event.argument == "EIO")
        error_number = EIO;
    else if (event.argument == "EAGAIN")
        error_number = EAGAIN;
    else if (!event.argument.empty()) {
        error = "console-hangup takes nothing, EIO or EAGAIN";
        return false;
    }
    kernel.clock().at(event.at, [&kernel, error_number] {
        kernel.console().hang_up(error_number);
        return false;
    });
    return true;
}

// "signal NAME": the signal is delivered to the program (TERM, SEGV, 15...).
bool deliver_signal(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    const int number = signal_number(event.argument);
    if (number == 0) {
        error = "unknown signal '" + event.argument + "'";
        return false;
    }
    kernel.clock().at(event.at, [number] {
        std::raise(number);
        return true;
    });
    return true;
}

// "fault FAULT": a fault as --fault takes it, from this time on.
bool inject_fault(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    const auto fault = parse_fault(event.argument, error);
    if (!fault) return false;
    kernel.clock().at(event.at, [&kernel, f = *fault] {
        kernel.faults().add(f);
        return false;
    });
    return true;
}

constexpr std::pair<const char*, Verb> verbs[] = {
    {"console", console_line},
    {"console-eof", console_eof},
    {"console-hangup", console_hangup},
    {"signal", deliver_signal},
    {"fault", inject_fault},
    {"key", key_verb},
    {"input", input_verb},
    {"usb", usb_verb},
    {"battery", battery_verb},
    {"gauge", gauge_verb},
    {"gauge-unstable", gauge_unstable_verb},
    {"gauge-error", gauge_error_verb},
};

}  // namespace

bool unescape(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i >= text.size()) return false;
        switch (text[i]) {
            case 'b': bytes += '\b'; break;
            case 'r': bytes += '\r'; break;
            case 't': bytes += '\t'; break;
            case 'e': bytes += '\x1b'; break;
            case '\\': bytes += '\\'; break;
            case 'x': {
                const std::string hex = text.substr(i + 1, 2);
                if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(hex[1])))
                    return false;
                bytes += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
                i += 2;
                break;
            }
            default: return false;
        }
    }
    return true;
}

bool parse_script(const std::string& text, std::vector<ScriptEvent>& events, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    Micros previous = 0;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        std::istringstream fields(line.substr(first));
        std::string time_text, verb;
        fields >> time_text >> verb;
        ScriptEvent event{0, verb, "", number};
        if (!parse_time(time_text, previous, event.at)) {
            error = "line " + std::to_string(number) + ": bad time '" + time_text + "'";
            return false;
        }
        if (verb.empty()) {
            error = "line " + std::to_string(number) + ": no verb";
            return false;
        }
        std::string rest;
        std::getline(fields, rest);
        if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
        event.argument = rest;
        previous = event.at;
        events.push_back(event);
    }
    return true;
}

bool schedule_event(Kernel& kernel, const ScriptEvent& event, std::string& error) {
    const auto verb = std::find_if(std::begin(verbs), std::end(verbs),
                                   [&](const auto& v) { return event.verb == v.first; });
    if (verb == std::end(verbs)) {
        error = "line " + std::to_string(event.line) + ": unknown verb '" + event.verb + "'";
        return false;
    }
    if (!verb->second(kernel, event, error)) {
        error = "line " + std::to_string(event.line) + ": " + error;
        return false;
    }
    return true;
}

}  // namespace sim

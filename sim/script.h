// Scripts drive a simulated device through time. One event per line:
//
//   TIME VERB [ARGUMENT]
//
// TIME is the virtual time in seconds since power-up ("1.5"), or "+S" for
// S seconds after the previous line. Blank lines and lines starting with
// "#" are ignored. The verbs are listed in script.cpp; each device that
// can be driven adds its own there.
#pragma once

#include <string>
#include <vector>

#include "sim/clock.h"

namespace sim {

class Kernel;

struct ScriptEvent {
    Micros at;
    std::string verb;
    std::string argument;
    int line;
};

// Parses a whole script; false with a message naming the line on error.
bool parse_script(const std::string& text, std::vector<ScriptEvent>& events, std::string& error);

// Checks an event's verb and argument and schedules it on the kernel's clock.
bool schedule_event(Kernel& kernel, const ScriptEvent& event, std::string& error);

// Turns the escapes \b \r \t \e \\ and \xHH of a console line into bytes.
bool unescape(const std::string& text, std::string& bytes);

}  // namespace sim

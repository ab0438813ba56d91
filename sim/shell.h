// Commands the program runs through the shell (system(3)), answered by the
// simulation from a table in shell.cpp. A command it does not know fails
// as the shell would: exit status 127.
#pragma once

#include <string>

namespace sim {

class Kernel;

// Returns a wait status, as system(3) does.
int run_shell_command(Kernel& kernel, const std::string& command);

}  // namespace sim

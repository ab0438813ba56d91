#include "sim/shell.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "sim/kernel.h"
#include "sim/mkdosfs.h"

namespace sim {

namespace {

int exit_status(int code) { return (code & 0xff) << 8; }

// The USB network link comes up only with the Ethernet gadget loaded.
int ipconfig(Kernel& kernel, const std::string&) {
    return exit_status(kernel.modules().loaded("g_ether") ? 0 : 1);
}

// There is no NFS server on the simulated network.
int nfsmount(Kernel&, const std::string&) { return exit_status(1); }

struct Command {
    const char* name;
    int (*run)(Kernel&, const std::string& command);
};

constexpr Command commands[] = {
    {"ipconfig", ipconfig},
    {"nfsmount", nfsmount},
    {"/bin/mkdosfs", run_mkdosfs},
    {"mkdosfs", run_mkdosfs},
};

}  // namespace

int run_shell_command(Kernel& kernel, const std::string& command) {
    std::string_view line(command);
    if (line.substr(0, 5) == "exec ") line.remove_prefix(5);
    const std::string name(line.substr(0, line.find(' ')));
    kernel.klog().log("sh -c " + command);
    const auto found = std::find_if(std::begin(commands), std::end(commands),
                                    [&](const Command& c) { return name == c.name; });
    if (found == std::end(commands)) return exit_status(127);
    return found->run(kernel, command);
}

}  // namespace sim

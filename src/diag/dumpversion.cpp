#include "diag/dumpversion.h"

#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/line_reader.h"
#include "sys/unique_fd.h"

namespace qm {

long get_cpu_mhz() {
    sys::unique_fd fd(sys::kernel().open("/proc/cpu/clocks", O_RDONLY));
    if (!fd.valid()) return -1;
    sys::LineReader reader(fd.get());
    char line[201];
    long hz = -1;
    while (reader.getline(line, sizeof line)) {
        char* colon = std::strchr(line, ':');
        if (colon == nullptr) continue;
        *colon = '\0';
        if (std::strcmp(line, "mcu_main_clk-0") != 0) continue;
        long value = 0;
        if (std::sscanf(colon + 1, "%ld", &value) == 1) hz = value;
    }
    return hz;
}

void dump_version_info() {
    char line[201] = "unknown";
    struct utsname name {};
    if (sys::kernel().uname(&name) == 0)
        std::snprintf(line, sizeof line, "%s %s %s", name.release, name.version, name.machine);
    const long hz = get_cpu_mhz();
    if (hz > 0) {
        const size_t used = std::strlen(line);
        std::snprintf(line + used, sizeof line - used, " %luMHz",
                      static_cast<unsigned long>(hz) / 1000000UL);
    }
    out("%s\n", line);
}

}  // namespace qm

#include "diag/dmesg.h"

#include <cerrno>
#include <cstring>

#include "diag/dprintf.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {
constexpr int klog_read_all = 3;
char printk_buffer[0x20000];
}  // namespace

void dmesg_display(int fd) {
    if (fd < 0) fd = 1;
    const int length = sys::kernel().klogctl(klog_read_all, printk_buffer, sizeof printk_buffer);
    if (length < 0) {
        dprintf(2, "%s():%s:Could not access kernel printk buffer. syslog() failed.\n",
                "dmesg_display", std::strerror(errno));
        return;
    }
    dprintf(fd, "\n=== kernel printk buffer (%d bytes) ===\n", length);
    if (write_all(fd, std::string_view(printk_buffer, static_cast<size_t>(length))) < 0) {
        dprintf(2, "%s():%s:Could display kernel printk buffer.\n", "dmesg_display",
                std::strerror(errno));
        return;
    }
    dprintf(fd, "\n=== END ===\n");
}

}  // namespace qm

#include "boot/nfs.h"

#include <sys/wait.h>

#include <cstdio>

#include "storage/gadget.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

// Fixed settings of the network boot; nothing changes them at run time.
constexpr char host_addr[256] = "EE4900000000";
constexpr char dev_addr[256] = "EE1900000000";
constexpr char device_ip[256] = "192.168.15.201";
constexpr char server_ip[256] = "192.168.15.1";
constexpr char netmask[256] = "255.255.255.0";
constexpr char hostname[256] = "quillmar";
constexpr char interface_name[256] = "usb0";
constexpr char nfs_export[256] = "/exports/orvik_root";

int run_shell(const char* command) {
    const int status = sys::kernel().system(command);
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : status;
}

}  // namespace

int nfs_boot() {
    // Without the Ethernet gadget ipconfig fails below and says so.
    (void)gadget_load_ethernet(host_addr, dev_addr);

    char command[256];
    std::snprintf(command, sizeof command, "ipconfig -d nfsaddrs=%s:%s:%s:%s:%s:%s", device_ip,
                  server_ip, server_ip, netmask, hostname, interface_name);
    int status = run_shell(command);
    if (status != 0) {
        out("ipconfig: retval = %d\n", status);
        return 0;
    }
    out("  Make sure the Ethernet interface is configured on your host machine.\n");
    out("  And also make sure that '%s' has been exported.\n", nfs_export);

    for (int attempt = 0; attempt < 10; ++attempt) {
        out("Attempt #%d to NFS mount...\n", attempt);
        std::snprintf(command, sizeof command, "nfsmount -o v3,tcp %s:%s /root", server_ip, nfs_export);
        status = run_shell(command);
        out("nfsmount: retval = %d\n", status);
        sys::kernel().sleep(2);
        if (status == 0) break;
    }
    if (status != 0) {
        out("%s: Failed to mount NFS on /root: retval=%d\n", "nfs_boot", status);
        return 0;
    }
    status = run_shell("exec run-init /root /sbin/init -i");
    out("%s: exec run-init returned %d\n", "nfs_boot", status);
    return 1;
}

}  // namespace qm

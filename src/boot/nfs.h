// Network root boot over the USB Ethernet gadget. No menu entry of the
// device program reaches it: it is kept for development boards, whose
// builders call it to boot a root file system from their workstation.
#pragma once

namespace qm {

// Loads the Ethernet gadget, configures the link, mounts the root over NFS
// (up to ten attempts) and runs the system's init from it. 0 when the link
// or the mount failed, 1 after the init command ran and returned.
[[nodiscard]] int nfs_boot();

}  // namespace qm

#include "storage/mount.h"

namespace qm {

// Not built yet: the user store cannot be mounted.
int mount_dosfs() { return 0; }
int unmount_dosfs() { return 0; }
int mount_mmc() { return 0; }
int unmount_mmc() { return 0; }

}  // namespace qm

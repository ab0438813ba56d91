// Mounting the file systems of the internal and the second MMC.
#pragma once

namespace qm {

// Attaches the FAT inside /dev/mmcblk0p4 to /dev/loop0 and mounts it on
// /mnt-us. 1 on success.
int mount_dosfs();
int unmount_dosfs();
int mount_mmc();
int unmount_mmc();

}  // namespace qm

// The USB device-side gadgets: the mass-storage gadget that shows a block
// device or image to a USB host, and the Ethernet gadget for network boot.
#pragma once

namespace qm {

// Set once every storage module of the board family has loaded; cleared
// when storage_shutdown unloads them.
extern int g_storage_initialized;

// Loads the family's controller and storage modules once. 0 on success or
// when already done, -EINVAL for a board of neither family, -EIO when a
// module did not load.
[[nodiscard]] int storage_init();

// Makes path (a regular file or block device) the unit's backing file, or
// withdraws it when path is null. 0 on success; -EINVAL before
// storage_init, the error number when path cannot be examined, EINVAL for
// another kind of file, else the result of gadget_storage_set.
[[nodiscard]] int storage_export(const char* path);

// Writes path and its NUL into the unit's backing-file entry. 0 or the
// error number.
[[nodiscard]] int gadget_storage_set(const char* path);

// 1 when the host has the unit online (its "online" entry exists).
[[nodiscard]] int is_usb_storage_online();
// 1 when the cable is connected (the controller's "connected" entry exists).
[[nodiscard]] int is_usb_connected();

// Unloads the storage modules, last first, if storage_init loaded them,
// so that a later storage_init loads them again.
void storage_shutdown();

// Loads the storage modules and then the Ethernet gadget with the two
// hardware addresses. storage_init's non-zero result, else 1 loaded, 0 not.
[[nodiscard]] int gadget_load_ethernet(const char* host_addr, const char* dev_addr);

// Flushes all file systems, telling the console user before and after.
void report_sync();

}  // namespace qm

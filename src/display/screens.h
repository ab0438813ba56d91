// The display driver's built-in screens that this program asks for by
// number (eink_screen). The pictures belong to the driver; the numbers are
// the driver's interface and must not change.
#pragma once

namespace qm {

enum builtin_screen : int {
    // The storage is exported to a USB host.
    screen_usb_storage = 8,
    // The normal boot program is about to take over.
    screen_booting = 20,
    // An update is being checked and installed.
    screen_updating = 21,
    // An update was installed; the reader restarts.
    screen_update_done = 22,
    // An update failed or was refused; an error code is drawn on top.
    screen_update_failed = 23,
    // The reader cannot boot; an error code is drawn on top.
    screen_boot_failed = 25,
    // Wait: the hand-off is starting or the user storage is being erased.
    screen_please_wait = 26,
};

}  // namespace qm

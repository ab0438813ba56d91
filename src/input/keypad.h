// The keypad and five-way controller, read through the input event devices
// /dev/input/event0..3 as plain character codes.
#pragma once

#include <sys/select.h>

namespace qm {

// Loads the keyboard and five-way drivers with the board's parameters and
// opens the event devices. 1 when all four opened, 0 otherwise (reported).
[[nodiscard]] int keypad_init();

// Adds every open keypad descriptor to set and raises *highest (when given)
// to the largest of them.
void keypad_set(fd_set* set, int* highest);

// 1 when an open keypad descriptor is a member of set.
[[nodiscard]] int keypad_isset(const fd_set* set);

// Reads at most one pending event from each ready keypad device; the
// character of the first mapped key press (always > 0), or 0 when none.
// A device whose read fails for good (its driver went away) is closed and
// left out from then on.
[[nodiscard]] int keypad_getch();

// The character a key press with this event code yields; 0 when unmapped.
[[nodiscard]] int keypad_char(unsigned code);

// Closes every keypad descriptor and unloads the keyboard driver; the
// result of the unloading call.
[[nodiscard]] int keypad_shutdown();

// Brings the keypad back after keypad_shutdown: loads the keyboard driver
// again (the five-way driver stayed) and reopens the event devices. The
// result of keypad_init.
[[nodiscard]] int keypad_restart();

// Forgets the open devices without closing them, as before start-up.
void keypad_state_reset();

}  // namespace qm

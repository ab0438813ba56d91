#include "input/keypad.h"

namespace qm {

// Not built yet: no keypad device is ever open.
int keypad_init() { return 0; }
void keypad_set(fd_set*, int*) {}
int keypad_isset(const fd_set*) { return 0; }
int keypad_getch() { return 0; }
int keypad_shutdown() { return 0; }

}  // namespace qm

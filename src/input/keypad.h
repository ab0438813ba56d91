// The keypad and five-way controller, read through the input event devices.
#pragma once

#include <sys/select.h>

namespace qm {

int keypad_init();
void keypad_set(fd_set* set, int* highest);
int keypad_isset(const fd_set* set);
int keypad_getch();
int keypad_shutdown();

}  // namespace qm

#include "boot/menu.h"

namespace qm {

// Not built yet: the menus return at once, as if the user quit.
void main_menu() {}
void storage_menu(const char*) {}

}  // namespace qm

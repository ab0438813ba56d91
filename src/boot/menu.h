// The developer menu and the storage menu of the serial console.
#pragma once

namespace qm {

void main_menu();
void storage_menu(const char* label);

}  // namespace qm

// The developer menu and the storage menu of the serial console.
#pragma once

namespace qm {

// The developer menu: runs until the user quits (returns) or ten quiet
// seconds hand over to the normal boot (does not return if that works).
void main_menu();

// The waiting room of a USB export the caller started: follows the host
// connecting and disconnecting and returns when the export may be
// withdrawn (the host came and went, or the user chose "done").
void storage_menu(const char* label);

}  // namespace qm

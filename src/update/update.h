// Finding and installing the update bundle of the user store.
#pragma once

namespace qm {

// Number of entries of dir matching "update*.bin"; 0 when it cannot be read.
int has_multiple_updates(const char* dir);

// 1 installed, 0 nothing installed, -1 failed (result code in *result).
int update_os(int* result, int skip_battery_check);

}  // namespace qm

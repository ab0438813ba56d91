#pragma once

namespace qm {

// Holds the boot while the battery is critically low.
void critical_battery_check();

}  // namespace qm

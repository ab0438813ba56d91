#include "boot/battery_lockout.h"

namespace qm {

// Not built yet: the boot is never held.
void critical_battery_check() {}

}  // namespace qm

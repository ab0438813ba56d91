// The state the program keeps between calls, area by area, and the one call
// that puts all of it back as it is before start-up.
#pragma once

namespace qm {

// Forgets the panel (and that the update left it out), the open keypads,
// the board identity, the USB storage flag, the update progress and the
// image-check settings, without releasing anything: the kernel that held
// the descriptors and mappings may be gone. A test starts from here on every new simulated device.
void process_state_reset();

}  // namespace qm

#pragma once

namespace qm {

// Non-zero when the person at the device confirmed a factory reset.
int erasecheck();

}  // namespace qm

#include "input/erasecheck.h"

namespace qm {

// Not built yet: a factory reset is never confirmed.
int erasecheck() { return 0; }

}  // namespace qm

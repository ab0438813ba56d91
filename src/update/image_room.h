// How many bytes the destination of an image holds, so that an image that
// cannot fit is refused before anything is written. 0 means not known (a
// host tool has no device to ask, or the destination is missing).
#pragma once

#include <cstdint>

#include "update/update.h"

namespace qm {

// The destinations both families share: the root file system's partition
// and the diagnostics partition. Without a configuration (a host tool) the
// sizes of the partition map are taken.
[[nodiscard]] uint64_t shared_image_room(int image_type, const update_config* config);

// Size of a NOR flash partition from its character device; 0 when it
// cannot be had.
[[nodiscard]] uint64_t nor_partition_room(const char* mtd);

}  // namespace qm

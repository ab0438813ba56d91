#pragma once

namespace qm {

// remove(3) of a file on the user store that leaves its FAT consistent on
// the card whatever moment the power goes: the name's removal reaches the
// card first, the freeing of its clusters after it. With files_only an
// empty folder of that name stays (unlink(2)), else it goes too
// (remove(3)). 0, or -1 with errno from the removal; the file systems are
// flushed after a removal.
[[nodiscard]] int remove_flushed(const char* path, bool files_only);

}  // namespace qm

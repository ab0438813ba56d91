#pragma once

namespace qm {

// Deletes a file from a FAT file system that may be in a bad state:
// removes, remounts the user store and retries, unlinks, and as a last
// resort renames it to "<path>.failed" so that it is not taken again.
// 1 when path no longer exists at the end.
[[nodiscard]] int remove_file(const char* path);

// One plain remove(3) with a report; 1 on success (then the file systems
// are flushed).
[[nodiscard]] int remove_file_ll(const char* path);

}  // namespace qm

#pragma once

namespace qm {

// Prints a text file on the standard output, framed by "[path]" and
// "<EOF>" lines when banner is set. 1 when the file could be opened.
[[nodiscard]] int cat(const char* path, int banner);

}  // namespace qm

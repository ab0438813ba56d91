// A text file printed on the console, for diagnostics. The device program
// does not call it: it is kept, with ls.h, for a developer who prints a
// file from a menu entry while servicing a reader.
#pragma once

namespace qm {

// Prints a text file on the standard output, framed by "[path]" and
// "<EOF>" lines when banner is set. 1 when the file could be opened.
[[nodiscard]] int cat(const char* path, int banner);

}  // namespace qm

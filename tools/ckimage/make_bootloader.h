// Writes a copy of a boot-loader image with a valid descriptor.
#pragma once

namespace ckimage {

// Reads in, seals it (name may be null: the name bytes stay as they are)
// and writes out through a temporary file renamed into place, so out is
// either the whole sealed image or untouched. 0 on success, 1 after an
// error, which has been printed.
int make_bootloader(const char* in, const char* out, const char* name);

}  // namespace ckimage

// File and directory listings in the long format of ls, for diagnostics on
// the console. The device program does not call them: they are kept for a
// developer who lists a folder from a menu entry while servicing a reader,
// and the tests hold their format.
#pragma once

#include <sys/stat.h>

namespace qm {

// Prints one long-format line ("drwxr-xr-x   2     0     0    4096 name")
// for name; 0 (and nothing printed) when status or path is null.
[[nodiscard]] int dump_stat(const char* name, const char* path, const struct stat* status);

// One long-format line for path; 0 when its status could not be read (the
// error is reported and the line shows an all-zero status).
[[nodiscard]] int ls_file(const char* path);

// "path:" and a line for each entry, "." and ".." included, in directory
// order; 0 when the directory cannot be opened.
[[nodiscard]] int ls_dir(const char* path);

}  // namespace qm

// Console output of the device program, written through sys::Kernel so the
// simulation and the tests see exactly what a serial console would.
//
// Prompts, menus and tables go to the standard output (out); log lines that
// begin with a level word go to the standard error stream (err). Each call
// is one write, so lines from both streams keep their order on one console.
#pragma once

#include <cstdarg>
#include <string_view>

namespace qm {

int out(const char* format, ...) __attribute__((format(printf, 1, 2)));
int err(const char* format, ...) __attribute__((format(printf, 1, 2)));
int vprint_fd(int fd, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Writes bytes unchanged to a descriptor; returns the count written or -1.
long write_all(int fd, std::string_view bytes);

// "ERROR:<what>:<error text>(<errno>)\n" on the standard error stream, for
// the errno value the caller captured right after the failed call.
void report_errno(const char* what, int error_number);

// perror(3) form: "<prefix>: <error text>\n" on the standard error stream.
void report_perror(const char* prefix, int error_number);

}  // namespace qm

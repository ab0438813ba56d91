// The kernel's message buffer printed on the console.
#pragma once

namespace qm {

// Copies the kernel message ring buffer to fd (the standard output when fd
// is negative), framed by a header with its size and an end marker.
void dmesg_display(int fd);

}  // namespace qm

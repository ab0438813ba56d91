// The free space of the simulated file systems. The files of a file system
// are a directory of the device directory (userstore/, card/, rootfs/), so
// it has the room of the workstation's disk, unless device.conf limits it
// for the run with DIR_free=BYTES (userstore_free=0: a full user store).
// Then a write that makes a file longer uses room, and one that does not
// fit stores what does and fails with ENOSPC as Linux does; truncating,
// removing or replacing a file gives its bytes back. statfs reports it.
// Room is counted in bytes: clusters and directory entries cost nothing.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>

namespace sim {

class Kernel;
class OpenFile;

class Room {
public:
    explicit Room(Kernel& kernel) : kernel_(kernel) {}

    // Free bytes of the file system whose files are in host_dir (relative to
    // the device directory), or -1 when device.conf does not limit it.
    long long free_bytes(const std::string& host_dir);
    // How many of count bytes written at position into a file of size
    // bytes fit; their room is used.
    size_t take(const std::string& host_dir, off_t position, off_t size, size_t count);
    void give_back(const std::string& host_dir, off_t bytes);

private:
    Kernel& kernel_;
    std::map<std::string, long long> free_;  // of the limited ones, read on first use
};

// The part of count bytes a write through f may store (count when its file
// system is not limited); 0 with errno ENOSPC when nothing fits.
size_t room_for_write(Kernel& kernel, OpenFile& f, size_t count);
// The regular file at path (a program path) is about to be truncated,
// removed or replaced: its file system gets its bytes back.
void room_free_file(Kernel& kernel, const std::string& path);

}  // namespace sim

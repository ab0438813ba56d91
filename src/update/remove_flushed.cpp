#include "update/remove_flushed.h"

#include <fcntl.h>

#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

int remove_flushed(const char* path, bool files_only) {
    auto& k = sys::kernel();
    // On FAT the removal of a name and the freeing of its clusters are two
    // writes, and the kernel puts them on the card in the order of their
    // places there: the table first. A power cut between them would leave
    // a name whose clusters the table calls free, which the next file
    // written takes too, and which the FAT driver finds when the name is
    // read (it then turns the whole store read-only). Held open, the file
    // keeps its clusters until the first sync has put the name's removal
    // on the card; a cut before the second sync only leaves lost clusters.
    // O_PATH only looks the name up, as the removal does; a file that
    // cannot be held is removed all the same.
    sys::unique_fd held(k.open(path, O_PATH | O_CLOEXEC));
    if ((files_only ? k.unlink(path) : k.remove(path)) != 0) return -1;
    k.sync();
    held.reset();
    k.sync();
    return 0;
}

}  // namespace qm

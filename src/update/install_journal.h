// The install journal: a small text file on the user store that exists
// while an update is under way. It names the bundle, counts the boots that
// began installing it and, once the verdict has passed, holds the verified
// SHA-256 of each image. A journal found at boot beside its bundle means
// the last update was cut short (power, watchdog, I/O error): it runs
// again, a bounded number of times. Its name does not match "update*.bin".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "update/signing.h"

namespace qm {

inline constexpr const char* install_journal_path = "/mnt-us/install.jnl";
// Boots that may begin the same update; the next one gives it up.
inline constexpr unsigned install_most_boots = 3;

struct install_journal {
    char bundle[256];                          // entry name of the bundle in /mnt-us/
    long long bundle_size;                     // its size in bytes when the update began
    unsigned boots;                            // boots that began installing it
    uint32_t verified;                         // bit (1 << image type) per digest below
    uint8_t sha256[image_type_count][32];      // digests the verdict accepted
};

// The journal's text, ending with a CRC-32 line over everything before it.
[[nodiscard]] std::string install_journal_text(const install_journal& journal);
// Parses install_journal_text's form; false (journal untouched) when the
// text is damaged or incomplete.
[[nodiscard]] bool install_journal_parse(std::string_view text, install_journal* journal);

// 1 read, 0 there is no journal, -1 a journal is there but cannot be read
// or is damaged (reported on the standard error stream).
[[nodiscard]] int install_journal_read(const char* path, install_journal* journal);
// Replaces the journal and flushes it to the medium before returning: 1
// written, 0 failed (reported).
[[nodiscard]] int install_journal_write(const char* path, const install_journal& journal);
// 1 when no journal is left at path, 0 when it could not be removed
// (reported).
[[nodiscard]] int install_journal_remove(const char* path);

// What the unbundler's before_install hook works on.
struct install_journal_session {
    const char* path;
    install_journal journal;
};

// The before_install hook (context: an install_journal_session): records
// the verified digests in the journal and writes it. A bundle whose images
// differ from those a journal of the same name recorded is another bundle:
// its boots are counted afresh. 1 when the journal is on the medium, 0 when
// it could not be written (nothing may then be installed).
[[nodiscard]] int install_journal_record_verified(void* context, const char* path, const image_check* verified);

}  // namespace qm

// The install journal: a small text file on the user store that exists
// while an update is under way, and for as long as the system on the device
// may not be whole. It names the bundle, counts the boots that tried to
// install it and, once the verdict has passed, holds the verified SHA-256
// of each image. It also says which images an update that did not finish
// may have left torn, whether every image is in place, and whether the
// panel hung when a boot started it. A journal found at boot beside its
// bundle means the last update was cut short (power, watchdog, I/O error):
// it runs again, a bounded number of times. Its name does not match
// "update*.bin".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "update/signing.h"

namespace qm {

inline constexpr const char* install_journal_path = "/mnt-us/install.jnl";
// Where the journal goes when the owner keeps something other than a file
// under its name: such a thing is never touched.
inline constexpr const char* install_journal_spare_path = "/mnt-us/install2.jnl";
// Boots that may try the same update; the next one gives it up, or holds
// the reader in recovery when the system on the device is not whole.
inline constexpr unsigned install_most_boots = 3;

// Bits of install_journal::unfinished besides (1 << image type): an earlier
// boot may have written images this journal cannot name (its journal was
// damaged).
inline constexpr uint32_t journal_unknown_images = 1u << 31;
inline constexpr uint32_t journal_all_images = (1u << image_type_count) - 1;

// What became of the panel's start at the boot that wrote the journal.
enum class journal_panel : uint8_t {
    started,   // it started, or was not started at all
    starting,  // the start had begun and the journal was not written again
    hung,      // a start never came back: later boots leave the panel out
};

struct install_journal {
    char bundle[256];                          // entry name of the bundle in /mnt-us/
    long long bundle_size;                     // its size in bytes when the update began
    unsigned boots;                            // boots that tried to install it
    uint32_t verified;                         // bit (1 << image type) per digest below
    uint8_t sha256[image_type_count][32];      // digests the verdict accepted
    // Image types whose places may hold neither their old nor their new
    // image: set before the first byte of an image is written, cleared when
    // an update that carries the type is installed whole. While any is set
    // the system on the device is not whole.
    uint32_t unfinished;
    bool installed;  // every image of the bundle is in place; only the last steps remain
    journal_panel panel;
};

// The journal's text, ending with a CRC-32 line over everything before it.
[[nodiscard]] std::string install_journal_text(const install_journal& journal);
// Parses install_journal_text's form; false (journal untouched) when the
// text is damaged or incomplete.
[[nodiscard]] bool install_journal_parse(std::string_view text, install_journal* journal);

// The journal's path on the mounted user store: install_journal_path, or
// the spare path when something that is not a file holds that name.
[[nodiscard]] const char* install_journal_place();

// Each access below arms the watchdog alarm for its own duration: a user
// store that stops answering restarts the reader.
// 1 read, 0 there is no journal, -1 a journal is there but cannot be read
// or is damaged (reported on the standard error stream).
[[nodiscard]] int install_journal_read(const char* path, install_journal* journal);
// Replaces the journal as a whole: the new text is written beside it,
// flushed, renamed over it and the folder flushed, so that a failure or a
// power cut at any point leaves the old journal or the new one. 1 written,
// 0 failed (reported; the old journal is then still there).
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
// the verified digests in the journal, marks their images unfinished and
// writes it. A bundle whose images differ from those a journal of the same
// name recorded is another bundle: its boots are counted afresh. 1 when the
// journal is on the medium, 0 when it could not be written (nothing may
// then be installed).
[[nodiscard]] int install_journal_record_verified(void* context, const char* path, const image_check* verified);

}  // namespace qm

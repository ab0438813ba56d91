// update-log.txt: what the last update attempt did, left at the root of the
// user store for whoever supports the reader (its owner sees only a code on
// the panel, and nobody has a serial line attached). A plain text file with
// CR LF line ends, so that any computer opens it: a short head (the bundle,
// its size and the SHA-256 of each image the verdict accepted, the family,
// board and program version, the boots the install journal counted, the
// outcome and its code in words), then the console lines of the attempt,
// the last update_log_console_bytes of them. The log of the attempt before
// is kept as update-log.1.txt.
//
// It is written once per attempt, at its end, as every write of ours to
// the user store is: a new file beside the old one, flushed, renamed over
// it, then the folder flushed; a power cut leaves the old logs or the new
// one, never a torn one over the owner's files. Nothing is written when the
// user store lacks room for it and update_log_room_to_leave more: an
// update's own journal and the owner's files come first. None of the names
// matches "update*.bin", and nothing but these three names is touched.
#pragma once

#include <cstddef>
#include <string>

#include "sys/console_tail.h"
#include "update/install_journal.h"

namespace qm {

inline constexpr const char* update_log_path = "/mnt-us/update-log.txt";
inline constexpr const char* update_log_before_path = "/mnt-us/update-log.1.txt";
// The new log until it is renamed into place (update/replace_file.h).
inline constexpr const char* update_log_new_path = "/mnt-us/update-log.txt.new";
// The console lines a log keeps at most (line ends included): the last ones.
inline constexpr size_t update_log_console_bytes = 64 * 1024;
// Free space a log leaves on the user store at the least.
inline constexpr long long update_log_room_to_leave = 1024 * 1024;

// One update attempt, made when it begins: from then on the console lines
// are kept for its log. update_os fills in what it learns.
struct update_attempt {
    update_attempt() : console(update_log_console_bytes) {}

    console_tail console;
    std::string bundle;  // entry name in /mnt-us/ of the bundle taken, "" when none
    // The install journal of the attempt: the boots it counted and the
    // digests the verdict accepted.
    install_journal_session session {install_journal_path, {}};
};

// What the log tells of an attempt's end.
struct update_ending {
    int installed;     // what update_os returns: 1, 0 or -1
    int code;          // its result code
    bool bundle_left;  // whether the bundle is still on the user store
};

// The whole text of the log.
[[nodiscard]] std::string update_log_text(const update_attempt& attempt, const update_ending& ending);

// Writes the log of an attempt that ended so (nothing when no bundle was
// found, or the reader is only held again without one); 1 written, 0 not
// (reported). The attempt goes on either way.
[[nodiscard]] int update_log_write(const update_attempt& attempt, int installed, int code);

// Prints update-log.txt of the mounted user store on the console.
void update_log_show();

}  // namespace qm

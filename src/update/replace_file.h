// Replacing a file of the user store as a whole, the way every file of ours
// there is written (the install journal, the update log): the new text is
// written beside it as PATH.new, flushed, renamed over it, and the folder
// and the renamed files flushed (the file replaced keeps its clusters until
// then), so that a failure or a power cut at any point leaves the old file
// or the new one, never a torn one, and nothing of the owner's.
#pragma once

#include <string_view>

namespace qm {

// Replaces path with text. With keep_as, the file it replaces (when there
// is one) is first renamed to keep_as, which it replaces in turn. 1 done, 0
// failed (reported; the new file is removed, and the old ones are as they
// were, or the one that was at path is at keep_as).
[[nodiscard]] int replace_file(const char* path, std::string_view text, const char* keep_as = nullptr);

}  // namespace qm

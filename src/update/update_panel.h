// The panel during an update on the normal boot path: started for the
// update's screens and codes, never allowed to hold the boot. A start that
// hangs is ended after 15 seconds and the update goes on without the
// panel; the install journal remembers it, so that the later boots of the
// same update leave the panel out.
#pragma once

#include "update/install_journal.h"

namespace qm {

// True when the panel is up.
[[nodiscard]] bool update_panel_up();

// Starts the panel, unless it is up or a start of it hung at this boot. 1
// when the panel is up.
[[nodiscard]] int update_panel_start();

// Starts the panel for an update, noting in the journal that the start runs
// ("panel starting"), so that should it never come back (only the watchdog
// ends it) the next boot leaves the panel out instead of hanging again. A
// journal that says the panel hung leaves it out at once. The next write of
// the journal records what became of the start. False when the journal
// could not be written (nothing is then started).
[[nodiscard]] bool update_panel_start_noted(install_journal_session& session);

// Forgets that a start of the panel hung at this boot.
void update_panel_state_reset();

}  // namespace qm

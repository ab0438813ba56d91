#include "update/update_panel.h"

#include "display/eink.h"
#include "sys/console.h"
#include "sys/time_limit.h"

namespace qm {

namespace {

// This boot leaves the panel out: a start of it hung.
bool panel_left_out = false;

// Starts the panel, ending the start rather than the boot when it hangs;
// true when the start hung.
[[nodiscard]] bool start_limited() {
    bool hung = false;
    {
        const sys::TimeLimit limit(15);
        (void)eink_init();  // a panel that does not start is reported; the update goes on without it
        hung = limit.expired();
    }
    if (hung) {
        err("WARNING:The panel did not start in 15 seconds; going on without it\n");
        panel_left_out = true;
    }
    return hung;
}

}  // namespace

bool update_panel_up() { return g_eink_canvas.xres != 0; }

int update_panel_start() {
    if (update_panel_up()) return 1;
    if (panel_left_out) return 0;
    (void)start_limited();  // reported when it hangs
    return update_panel_up() ? 1 : 0;
}

bool update_panel_start_noted(install_journal_session& session) {
    install_journal& journal = session.journal;
    if (journal.panel == journal_panel::starting) {
        err("WARNING:The panel did not come back from its start at the last boot; updating without it\n");
        journal.panel = journal_panel::hung;
    }
    if (journal.panel == journal_panel::hung) {
        panel_left_out = true;
        return true;
    }
    if (update_panel_up() || panel_left_out) return true;
    journal.panel = journal_panel::starting;
    if (!install_journal_write(session.path, journal)) return false;
    journal.panel = start_limited() ? journal_panel::hung : journal_panel::started;
    return true;
}

void update_panel_state_reset() { panel_left_out = false; }

}  // namespace qm

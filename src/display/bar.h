// Progress bars on the console, beside the e-ink panel's own bar.
#pragma once

#include <cstdint>

namespace qm {

// "[###:::]" with width - 2 cells on the standard output, no line end.
void draw_bar_text(unsigned width, uint32_t current, uint32_t total);
// The text bar, then the panel's bar at current * 99 / total percent (100
// when total is 0 or the operation is complete).
void draw_bar(unsigned width, uint32_t current, uint32_t total);
// Ends the rewritten console line.
void clear_bar_text();
// Ends the console line and removes the panel's bar.
void clear_bar();

}  // namespace qm

#include "display/bar.h"

namespace qm {

// Not built yet: no bar is drawn.
void draw_bar_text(unsigned, uint32_t, uint32_t) {}
void draw_bar(unsigned, uint32_t, uint32_t) {}
void clear_bar_text() {}
void clear_bar() {}

}  // namespace qm

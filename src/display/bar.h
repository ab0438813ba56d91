// Progress bars on the console, beside the e-ink panel's own bar.
#pragma once

#include <cstdint>

namespace qm {

void draw_bar_text(unsigned width, uint32_t current, uint32_t total);
void draw_bar(unsigned width, uint32_t current, uint32_t total);
void clear_bar_text();
void clear_bar();

}  // namespace qm

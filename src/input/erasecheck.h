// The factory-reset confirmation: the person at the device types "reset"
// while a full-screen notice explains what will happen.
#pragma once

namespace qm {

// Waits up to ten minutes for the word; 1 when it was typed completely, 0
// when the user backed out (Enter, a blank or '$') or no word came in time.
[[nodiscard]] int erasecheck();

// The notice picture and its two console lines.
void erasecheck_screen_show();

// Where typed letter number p (0 to 4) is drawn on a panel of xres by
// yres; warns and uses the small panel's places on a panel larger than
// both picture sets.
void erasecheck_sprite_position(unsigned xres, unsigned yres, int p, int* x, int* y);

// Where the 600 x 800 test card goes to sit centred on the panel.
void erasecheck_pattern_position(unsigned xres, unsigned yres, int* x, int* y);

}  // namespace qm

// The e-ink panel: driver modules, the framebuffer /dev/fb0, the driver's
// built-in screens and progress bar, and pictures and digits drawn into the
// framebuffer. Results are 1 for success and 0 for failure unless stated;
// messages go to the standard error stream.
#pragma once

#include "display/egl_image.h"

namespace qm {

// What the panel shares with the erase check: the framebuffer as a picture,
// the digit font (sixteen 14 x 18 glyphs), the letter sprites (32 x 32 each,
// stacked) and the panel size. Valid between eink_init and eink_shutdown;
// eink_state_reset clears it with the rest of the panel's state.
struct eink_canvas {
    egl_image image;
    egl_image monofont;
    egl_image sprites;
    unsigned xres = 0;
    unsigned yres = 0;
};
extern eink_canvas g_eink_canvas;

// Indexes of the pictures of a set.
constexpr unsigned eink_picture_menu = 0;
constexpr unsigned eink_picture_erasecheck = 1;
constexpr unsigned eink_picture_pattern = 2;
// The battery lock-out (600 x 800 in both sets, shown centred).
constexpr unsigned eink_picture_battery_empty = 3;

// Loads the font, the sprites and the driver modules, opens and maps the
// framebuffer and picks the picture set for the panel. Does nothing once it
// has succeeded.
[[nodiscard]] int eink_init();
// Unmaps and closes the framebuffer and unloads the driver modules.
void eink_shutdown();
// Forgets the panel, as before start-up, without releasing anything (the
// kernel that held it may be gone).
void eink_state_reset();

// Shows the driver's built-in screen id.
[[nodiscard]] int eink_screen(int id);
// Refreshes the panel from the framebuffer: 0 partial, 1 full.
[[nodiscard]] int eink_update(int mode);
[[nodiscard]] int eink_update_partial();
[[nodiscard]] int eink_update_full();
// Keeps the panel as it is; returns the driver's own result.
[[nodiscard]] int eink_asis();

// The driver's progress bar: 0 to 100 draws it, 101 removes it.
[[nodiscard]] int eink_progressbar(unsigned percent);
// Removes the bar; always 1.
[[nodiscard]] int eink_progressbar_clear();
// Moves the bar to row y.
[[nodiscard]] int eink_progressbar_location(int y);
// Puts the bar back in the driver's place; returns the driver's result.
[[nodiscard]] int eink_progressbar_default();

// Blanks the framebuffer and refreshes fully.
[[nodiscard]] int eink_clear();
// Draws picture index (0 to 3) of the panel's set with its corner at (x, y)
// and refreshes fully.
[[nodiscard]] int eink_display_image(unsigned index, int x, int y);
// Draws the glyph of digit c (any other character draws '0'); no refresh.
void eink_drawchar(int x, int y, int c);
// Draws text from (x, y), wrapping to column left one glyph row lower when
// a glyph would pass the right edge; no refresh.
void eink_drawstring(unsigned x, unsigned y, unsigned left, const char* text);
// Draws code as four digits centred near the bottom and refreshes
// partially. Returns 1.
[[nodiscard]] int eink_display_error(int code);
// Sprite of a typed letter: R 1, E 2, S 3, T 4 (either case), else 0.
[[nodiscard]] int eink_char_to_sprite(int c);
// Draws sprite index at (x, y) and refreshes partially.
void eink_drawsprite(int x, int y, int index);
// Lists the first non-zero framebuffer bytes on the standard output.
void eink_dump();

}  // namespace qm

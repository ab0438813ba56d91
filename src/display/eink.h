// The e-ink panel: built-in screens, pictures, text and error codes.
#pragma once

namespace qm {

int eink_init();
void eink_shutdown();
int eink_screen(int id);
int eink_display_error(int code);
int eink_asis();
int eink_progressbar(unsigned percent);
int eink_display_image(int index, int x, int y);
int eink_char_to_sprite(int c);
void eink_drawsprite(int x, int y, int index);
extern unsigned eink_xres, eink_yres;

}  // namespace qm

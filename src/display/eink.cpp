#include "display/eink.h"

namespace qm {

// Not built yet: the panel never opens, so every request fails.
int eink_init() { return 0; }
void eink_shutdown() {}
int eink_screen(int) { return 0; }
int eink_display_error(int) { return 1; }
int eink_asis() { return -1; }
int eink_progressbar(unsigned) { return 0; }
int eink_display_image(int, int, int) { return 0; }
int eink_char_to_sprite(int) { return 0; }
void eink_drawsprite(int, int, int) {}
unsigned eink_xres = 0, eink_yres = 0;

}  // namespace qm

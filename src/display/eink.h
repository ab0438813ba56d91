// The e-ink panel: built-in screens, pictures, text and error codes.
#pragma once

namespace qm {

int eink_init();
void eink_shutdown();
int eink_screen(int id);
int eink_display_error(int code);
int eink_asis();
int eink_progressbar(unsigned percent);

}  // namespace qm

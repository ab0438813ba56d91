#include "display/egl_image.h"
#include "display/egl_pixel_layout.h"

namespace qm {

unsigned egl_getpixel(const egl_image* ei, int x, int y) {
    egl_pixel_place place{};
    if (!egl_locate(ei, x, y, place)) return 0;
    return (*place.byte >> place.shift) & place.mask;
}

}  // namespace qm

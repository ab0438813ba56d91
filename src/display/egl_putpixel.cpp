#include "display/egl_image.h"
#include "display/egl_pixel_layout.h"

namespace qm {

void egl_putpixel(egl_image* ei, int x, int y, unsigned color) {
    egl_pixel_place place{};
    if (!egl_locate(ei, x, y, place)) return;
    const unsigned keep = *place.byte & ~(place.mask << place.shift);
    *place.byte = static_cast<uint8_t>(keep | ((color & place.mask) << place.shift));
}

}  // namespace qm

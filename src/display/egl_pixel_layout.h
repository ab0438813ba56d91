// Where a pixel lives inside its row, shared by the get and put operations.
#pragma once

#include "display/egl_image.h"

namespace qm {

struct egl_pixel_place {
    uint8_t* byte;
    unsigned shift;
    unsigned mask;  // unshifted: 2^bpp - 1
};

// False outside the picture, without pixels, or at an unsupported depth.
[[nodiscard]] inline bool egl_locate(const egl_image* ei, int x, int y, egl_pixel_place& place) {
    if (ei == nullptr || ei->image_data == nullptr || x < 0 || y < 0) return false;
    const auto ux = static_cast<uint32_t>(x);
    const auto uy = static_cast<uint32_t>(y);
    if (ux >= ei->xres || uy >= ei->yres) return false;
    const uint32_t bpp = ei->bpp;
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8) return false;
    const uint32_t per_byte = 8 / bpp;
    place.byte = ei->image_data + size_t{ei->rowbytes} * uy + size_t{ux} * bpp / 8;
    place.shift = bpp * ((per_byte - 1) - ux % per_byte);
    place.mask = (1u << bpp) - 1;
    return true;
}

}  // namespace qm

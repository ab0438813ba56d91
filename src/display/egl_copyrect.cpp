#include "display/egl_image.h"

namespace qm {

void egl_copyrect(egl_image* dst, const egl_image* src, int dx, int dy, unsigned w, unsigned h, int sx, int sy) {
    if (dst == nullptr || src == nullptr) return;
    // Clipping at the left and top edge shortens the rectangle but keeps the
    // source corner where it was.
    int64_t width = w;
    int64_t height = h;
    if (dx < 0) {
        width += dx;
        dx = 0;
    }
    if (dy < 0) {
        height += dy;
        dy = 0;
    }
    if (width <= 0 || height <= 0) return;
    if (static_cast<uint32_t>(dx) >= dst->xres || static_cast<uint32_t>(dy) >= dst->yres) return;
    if (dx + width > dst->xres) width = dst->xres - static_cast<int64_t>(dx);
    if (dy + height > dst->yres) height = dst->yres - static_cast<int64_t>(dy);

    const bool same_depth = dst->bpp == src->bpp;
    // Depths above 8 are not drawable; keep the scale factors defined.
    const uint64_t dst_max = dst->bpp >= 32 ? 0xffffffffu : (uint64_t{1} << dst->bpp) - 1;
    const uint64_t src_max = src->bpp >= 32 ? 0xffffffffu : (uint64_t{1} << src->bpp) - 1;
    for (int64_t j = 0; j < height; ++j) {
        for (int64_t i = 0; i < width; ++i) {
            uint64_t v = egl_getpixel(src, static_cast<int>(sx + i), static_cast<int>(sy + j));
            if (!same_depth && src_max != 0) v = v * dst_max / src_max;
            egl_putpixel(dst, static_cast<int>(dx + i), static_cast<int>(dy + j), static_cast<unsigned>(v));
        }
    }
}

}  // namespace qm

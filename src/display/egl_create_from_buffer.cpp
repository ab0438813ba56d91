#include "display/egl_image.h"

#include "sys/console.h"

namespace qm {

int egl_create_from_buffer(egl_image* ei, uint8_t* buffer, uint32_t width, uint32_t height, uint32_t bpp) {
    if (ei == nullptr || width == 0 || height == 0 || bpp == 0) {
        err("WARNING:egl_create_from_buffer() failed\n");
        return 0;
    }
    ei->xres = width;
    ei->yres = height;
    ei->bpp = bpp;
    ei->rowbytes = egl_rowbytes(width, bpp, egl_padding_8);
    ei->image_data = buffer;
    ei->was_malloc = 0;
    return 1;
}

uint32_t egl_rowbytes(uint32_t width, uint32_t bpp, uint32_t padding) {
    // 64-bit so that a huge width from a damaged header cannot wrap to a
    // small row; the caller still checks the total it allocates.
    const uint64_t bits = uint64_t{width} * bpp;
    uint64_t bytes = 0;
    switch (padding) {
        case egl_padding_8: bytes = (bits + 7) / 8; break;
        case egl_padding_16: bytes = (bits + 15) / 16 * 2; break;
        case egl_padding_32: bytes = (bits + 31) / 32 * 4; break;
        default: return 0;
    }
    return bytes > 0xffffffffu ? 0 : static_cast<uint32_t>(bytes);
}

}  // namespace qm

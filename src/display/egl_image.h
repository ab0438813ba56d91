// The packed-pixel picture record of the display layer and its operations.
// Pixels of 1, 2 and 4 bits are packed leftmost-first into the high bits of
// a byte; rows start rowbytes apart. None of these functions keeps state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

struct egl_image {
    uint32_t xres = 0;
    uint32_t yres = 0;
    uint32_t bpp = 0;
    uint8_t* image_data = nullptr;
    uint32_t rowbytes = 0;
    uint32_t was_malloc : 1 = 0;  // image_data belongs to the record (freed by egl_destroy)
};

// Header words of a compressed picture are big-endian.
constexpr uint32_t egl_flag_big_endian = 1;
// Row padding modes (flags & egl_padding_mask): whole bytes, 16 and 32 bits.
constexpr uint32_t egl_padding_mask = 6;
constexpr uint32_t egl_padding_8 = 0;
constexpr uint32_t egl_padding_16 = 2;
constexpr uint32_t egl_padding_32 = 6;
// Size of the header (width, height, bits per pixel) of a compressed picture.
constexpr size_t egl_header_size = 12;

// Describes a caller-owned buffer of width x height pixels at bpp bits, rows
// padded to whole bytes. Returns 1; 0 with a warning when ei is null or a
// dimension or the depth is 0 (ei untouched).
[[nodiscard]] int egl_create_from_buffer(egl_image* ei, uint8_t* buffer, uint32_t width, uint32_t height, uint32_t bpp);

// Frees the pixels when the record owns them; borrowed buffers stay.
void egl_destroy(egl_image* ei);

// The pixel at (x, y); 0 outside the picture or at a depth other than 1, 2,
// 4 or 8.
[[nodiscard]] unsigned egl_getpixel(const egl_image* ei, int x, int y);

// Stores the low bpp bits of color at (x, y), leaving the neighbours in the
// same byte alone; nothing happens outside the picture or at other depths.
void egl_putpixel(egl_image* ei, int x, int y, unsigned color);

// Copies w x h pixels from (sx, sy) of src to (dx, dy) of dst, clipped to
// dst and scaled between the two depths. Source pixels outside src read 0.
void egl_copyrect(egl_image* dst, const egl_image* src, int dx, int dy, unsigned w, unsigned h, int sx, int sy);

// Inflates the gzip-compressed picture of len bytes at data into a new
// buffer owned by ei. flags: egl_flag_big_endian and a padding mode. Returns
// 1, or 0 with image_data null after reporting why on the error stream.
[[nodiscard]] int egl_load_memory(const char* name, egl_image* ei, const uint8_t* data, size_t len, uint32_t flags);

// Row length in bytes of width pixels at bpp bits under a padding mode;
// 0 for an unsupported mode.
[[nodiscard]] uint32_t egl_rowbytes(uint32_t width, uint32_t bpp, uint32_t padding);

}  // namespace qm

#include <zlib.h>

#include <cstdlib>

#include "display/egl_image.h"
#include "sys/console.h"

namespace qm {

namespace {

// The largest embedded picture holds 247,200 pixel bytes; a header asking
// for far more is damaged, and allocating for it would only hurt.
constexpr uint64_t max_picture_bytes = 16u << 20;

uint32_t header_word(const uint8_t* p, bool big_endian) {
    if (big_endian) return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

const char* zmsg(const z_stream& stream) { return stream.msg != nullptr ? stream.msg : ""; }

// Owns the inflation stream so that every way out ends it.
struct Inflater {
    z_stream stream{};
    bool ready = false;
    ~Inflater() {
        if (ready) inflateEnd(&stream);
    }
};

}  // namespace

int egl_load_memory(const char* name, egl_image* ei, const uint8_t* data, size_t len, uint32_t flags) {
    if (data == nullptr || ei == nullptr || len == 0) return 0;
    ei->image_data = nullptr;
    ei->was_malloc = 0;
    if (name == nullptr) name = "egl_load_memory";

    Inflater z;
    z.stream.next_in = const_cast<Bytef*>(data);
    z.stream.avail_in = static_cast<uInt>(len);
    if (inflateInit2(&z.stream, 15 + 16) != Z_OK) {
        err("ERROR:%s:inflateInit() failure\n", name);
        return 0;
    }
    z.ready = true;

    int zerr = Z_OK;
    bool zlib_failure = false;
    uint8_t* pixels = nullptr;
    auto fail = [&]() {
        if (zlib_failure && z.stream.msg != nullptr) err("ERROR:%s:%s (zerr=%d)\n", name, z.stream.msg, zerr);
        std::free(pixels);
        ei->image_data = nullptr;
        return 0;
    };

    uint8_t header[egl_header_size];
    z.stream.next_out = header;
    z.stream.avail_out = sizeof header;
    while (z.stream.avail_out > 0) {
        zerr = inflate(&z.stream, Z_NO_FLUSH);
        if (zerr != Z_OK) {
            zlib_failure = true;
            return fail();
        }
    }

    const bool big_endian = (flags & egl_flag_big_endian) != 0;
    ei->xres = header_word(header, big_endian);
    ei->yres = header_word(header + 4, big_endian);
    ei->bpp = header_word(header + 8, big_endian);

    const uint32_t padding = flags & egl_padding_mask;
    if (padding != egl_padding_8 && padding != egl_padding_16 && padding != egl_padding_32) {
        err("ERROR:Unsupported padding mode: 0x%x\n", padding);
        return fail();
    }
    ei->rowbytes = egl_rowbytes(ei->xres, ei->bpp, padding);
    const uint64_t size = uint64_t{ei->rowbytes} * ei->yres;
    if (size == 0 || size > max_picture_bytes) {
        err("ERROR:%s:picture of %ux%u at %u bits per pixel refused\n", name, ei->xres, ei->yres, ei->bpp);
        return fail();
    }
    pixels = static_cast<uint8_t*>(std::malloc(size));
    if (pixels == nullptr) {
        err("ERROR:%s:%u:%s (zerr=%d)\n", name, 90u, "out of memory", Z_MEM_ERROR);
        return fail();
    }

    z.stream.next_out = pixels;
    z.stream.avail_out = static_cast<uInt>(size);
    while (z.stream.avail_out > 0) {
        zerr = inflate(&z.stream, Z_FINISH);
        if (zerr != Z_OK && zerr != Z_STREAM_END) {
            err("ERROR:%s:%u:%s (zerr=%d)\n", name, 90u, zmsg(z.stream), zerr);
            zlib_failure = true;
            return fail();
        }
        if (zerr == Z_STREAM_END && z.stream.avail_out > 0) {
            // A stream that ends early would leave rows of garbage on screen.
            err("ERROR:%s:picture data ends %u bytes short\n", name, static_cast<unsigned>(z.stream.avail_out));
            return fail();
        }
    }

    z.ready = false;
    zerr = inflateEnd(&z.stream);
    if (zerr != Z_OK && zerr != Z_STREAM_END) {
        err("ERROR:%s:%u:%s (zerr=%d)\n", name, 97u, zmsg(z.stream), zerr);
        zlib_failure = true;
        return fail();
    }
    ei->image_data = pixels;
    ei->was_malloc = 1;
    return 1;
}

}  // namespace qm

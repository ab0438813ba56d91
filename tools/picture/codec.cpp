#include "codec.h"

#include <zlib.h>

#include "display/egl_image.h"

namespace picture {

namespace {

void put_word(std::vector<uint8_t>& out, uint32_t value, bool big_endian) {
    for (int i = 0; i < 4; ++i) {
        const int shift = big_endian ? 24 - 8 * i : 8 * i;
        out.push_back(static_cast<uint8_t>(value >> shift));
    }
}

bool gzip(const std::vector<uint8_t>& raw, std::vector<uint8_t>& out, std::string& error) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
        error = "zlib refused to start compressing";
        return false;
    }
    out.resize(deflateBound(&stream, static_cast<uLong>(raw.size())));
    stream.next_in = const_cast<Bytef*>(raw.data());
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) {
        error = "zlib could not compress the picture";
        return false;
    }
    return true;
}

}  // namespace

bool encode_picture(const GrayImage& image, unsigned bpp, uint32_t flags, std::vector<uint8_t>& out,
                    std::string& error) {
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8) {
        error = "bits per pixel must be 1, 2, 4 or 8";
        return false;
    }
    const uint32_t rowbytes = qm::egl_rowbytes(image.width, bpp, flags & qm::egl_padding_mask);
    if (rowbytes == 0 || image.height == 0) {
        error = "unsupported padding mode or empty picture";
        return false;
    }
    const bool big_endian = (flags & qm::egl_flag_big_endian) != 0;
    std::vector<uint8_t> raw;
    put_word(raw, image.width, big_endian);
    put_word(raw, image.height, big_endian);
    put_word(raw, bpp, big_endian);
    raw.resize(qm::egl_header_size + size_t{rowbytes} * image.height, 0);

    qm::egl_image packed;
    packed.xres = image.width;
    packed.yres = image.height;
    packed.bpp = bpp;
    packed.rowbytes = rowbytes;
    packed.image_data = raw.data() + qm::egl_header_size;
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x)
            qm::egl_putpixel(&packed, static_cast<int>(x), static_cast<int>(y), gray_to_ink(image.at(x, y), bpp));
    return gzip(raw, out, error);
}

bool decode_picture(const std::vector<uint8_t>& data, uint32_t flags, GrayImage& image, unsigned& bpp,
                    std::string& error) {
    qm::egl_image loaded;
    if (!qm::egl_load_memory("picture", &loaded, data.data(), data.size(), flags)) {
        error = "not a compressed picture (see the messages above)";
        return false;
    }
    bpp = loaded.bpp;
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8) {
        qm::egl_destroy(&loaded);
        error = "pictures of " + std::to_string(bpp) + " bits per pixel cannot be shown";
        return false;
    }
    image.width = loaded.xres;
    image.height = loaded.yres;
    image.pixels.resize(size_t{image.width} * image.height);
    for (uint32_t y = 0; y < image.height; ++y)
        for (uint32_t x = 0; x < image.width; ++x)
            image.pixels[size_t{y} * image.width + x] =
                ink_to_gray(qm::egl_getpixel(&loaded, static_cast<int>(x), static_cast<int>(y)), bpp);
    qm::egl_destroy(&loaded);
    return true;
}

}  // namespace picture

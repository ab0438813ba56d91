// Between grey pictures and the compressed packed-pixel pictures the
// program carries. Decoding goes through the program's own loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "png_io.h"

namespace picture {

// Packs image at bpp bits (1, 2, 4 or 8) per pixel, rows padded by the
// padding mode of flags, header words in the byte order of flags, and
// gzip-compresses the result.
bool encode_picture(const GrayImage& image, unsigned bpp, uint32_t flags, std::vector<uint8_t>& out,
                    std::string& error);

// Inflates a compressed picture with the program's loader (its messages go
// to the standard error stream) and turns its ink levels into grey.
bool decode_picture(const std::vector<uint8_t>& data, uint32_t flags, GrayImage& image, unsigned& bpp,
                    std::string& error);

}  // namespace picture

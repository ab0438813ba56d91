// PNG files of grey pictures, shared by the picture converter and the
// simulated panel so that both read and write pictures the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace picture {

// An 8-bit grey picture, rows top first, 0 black and 255 white as in PNG.
struct GrayImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> pixels;  // width * height

    uint8_t at(uint32_t x, uint32_t y) const { return pixels[size_t{y} * width + x]; }
};

// Writes image as an 8-bit greyscale PNG. False with error set on failure.
bool write_png(const std::string& path, const GrayImage& image, std::string& error);
// The same PNG in memory, for callers that keep or embed it.
bool encode_png(const GrayImage& image, std::vector<uint8_t>& bytes, std::string& error);
// Writes bytes (an encoded PNG) as the file path.
bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error);

// Reads any PNG (grey, colour, palette, with or without alpha, any depth)
// as grey, alpha composed over white paper. False with error set.
bool read_png(const std::string& path, GrayImage& image, std::string& error);

// Ink levels of a picture of bpp bits (0 paper, 2^bpp - 1 full ink) against
// grey: level 0 is white, the largest level black, the rest evenly between.
inline uint8_t ink_to_gray(unsigned level, unsigned bpp) {
    const unsigned max = (1u << bpp) - 1;
    return static_cast<uint8_t>(255 - (level > max ? max : level) * 255 / max);
}
// The nearest ink level of a grey value.
inline unsigned gray_to_ink(uint8_t gray, unsigned bpp) {
    const unsigned max = (1u << bpp) - 1;
    return ((255u - gray) * max + 127) / 255;
}

}  // namespace picture

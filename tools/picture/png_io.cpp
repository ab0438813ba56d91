#include "png_io.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <memory>

namespace picture {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool encode_png(const GrayImage& image, std::vector<uint8_t>& bytes, std::string& error) {
    if (image.width == 0 || image.height == 0 || image.pixels.size() != size_t{image.width} * image.height) {
        error = "cannot encode an empty or inconsistent picture";
        return false;
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_GRAY;
    // The first call only measures; the second writes into room of that size.
    png_alloc_size_t size = 0;
    const auto stride = static_cast<png_int_32>(image.width);
    if (png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), stride, nullptr)) {
        bytes.resize(size);
        if (png_image_write_to_memory(&png, bytes.data(), &size, 0, image.pixels.data(), stride, nullptr)) {
            bytes.resize(size);
            return true;
        }
    }
    error = std::string("cannot encode a picture: ") + png.message;
    png_image_free(&png);
    return false;
}

bool write_png(const std::string& path, const GrayImage& image, std::string& error) {
    std::vector<uint8_t> bytes;
    if (!encode_png(image, bytes, error)) {
        error += " for " + path;
        return false;
    }
    return write_file(path, bytes, error);
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes, std::string& error) {
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() || std::fflush(file.get()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool read_png(const std::string& path, GrayImage& image, std::string& error) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) {
        error = "cannot read " + path + ": " + png.message;
        png_image_free(&png);
        return false;
    }
    png.format = PNG_FORMAT_GRAY;
    image.width = png.width;
    image.height = png.height;
    image.pixels.assign(PNG_IMAGE_SIZE(png), 0);
    // Transparent parts of the artwork are paper.
    png_color white{255, 255, 255};
    if (!png_image_finish_read(&png, &white, image.pixels.data(), 0, nullptr)) {
        error = "cannot read " + path + ": " + png.message;
        png_image_free(&png);
        return false;
    }
    return true;
}

}  // namespace picture

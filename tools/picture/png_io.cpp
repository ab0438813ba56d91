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

bool write_png(const std::string& path, const GrayImage& image, std::string& error) {
    if (image.width == 0 || image.height == 0 || image.pixels.size() != size_t{image.width} * image.height) {
        error = "cannot write an empty or inconsistent picture to " + path;
        return false;
    }
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = image.width;
    png.height = image.height;
    png.format = PNG_FORMAT_GRAY;
    if (!png_image_write_to_stdio(&png, file.get(), 0, image.pixels.data(), static_cast<png_int_32>(image.width),
                                  nullptr)) {
        error = "cannot write " + path + ": " + png.message;
        png_image_free(&png);
        return false;
    }
    if (std::fflush(file.get()) != 0) {
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

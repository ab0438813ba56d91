// Compressed pictures: the first byte chooses the flags (byte order and row
// padding), the rest is the picture. A picture that loads is read at its
// corners and freed.
#include "display/egl_image.h"
#include "fuzz_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::next_input();
    if (size < 1) return 0;
    const uint32_t flags = data[0] & (qm::egl_flag_big_endian | qm::egl_padding_mask);
    qm::egl_image image;
    if (qm::egl_load_memory("fuzz", &image, data + 1, size - 1, flags)) {
        if (image.image_data == nullptr) __builtin_trap();
        const int x = static_cast<int>(image.xres) - 1;
        const int y = static_cast<int>(image.yres) - 1;
        // Reading the corners must stay inside the picture; the values are any.
        (void)qm::egl_getpixel(&image, 0, 0);
        (void)qm::egl_getpixel(&image, x, y);
        qm::egl_putpixel(&image, x, y, 1);
        qm::egl_destroy(&image);
    } else if (image.image_data != nullptr) {
        __builtin_trap();
    }
    return 0;
}

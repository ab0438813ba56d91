#include "display/eink.h"

#include <fcntl.h>
#include <linux/fb.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "display/pictures.h"
#include "storage/module.h"
#include "storage/wrapper.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

eink_canvas g_eink_canvas;

namespace {

constexpr const char* fb_path = "/dev/fb0";

// Requests of the e-ink driver on the framebuffer device.
constexpr unsigned long eink_request_update = 0x46DB;
constexpr unsigned long eink_request_screen = 0x46DC;
constexpr unsigned long eink_request_asis = 0x46E9;
constexpr unsigned long eink_request_progressbar = 0x46EA;
constexpr unsigned long eink_request_progressbar_xy = 0x46EB;
constexpr unsigned progressbar_remove = 101;

constexpr int glyph_width = 14;
constexpr int glyph_height = 18;
constexpr int sprite_size = 32;

// Driver modules, loaded in this order and unloaded in the reverse one.
constexpr const char* modules[] = {
    "/lib/modules/eink_fb_hal.ko",
    "/lib/modules/eink_fb_hal_broads.ko",
    "/lib/modules/eink_fb_shim.ko",
};
constexpr const char* module_ops[] = {
    "",
    "bs_orientation=0 bs_bpp=4",
    "",
};

struct eink_picture {
    const char* label;
    const uint8_t* data;
    const size_t& length;
};

const eink_picture images_600x800[] = {
    {"ss_recovery", ss_recovery, ss_recovery_len},
    {"ss_erasecheck_600x800", ss_erasecheck_600x800, ss_erasecheck_600x800_len},
    {"pattern", pattern, pattern_len},
    {"ss_battery_empty", ss_battery_empty, ss_battery_empty_len},
};
const eink_picture images_824x1200[] = {
    {"ss_recovery", ss_recovery, ss_recovery_len},
    {"ss_erasecheck_824x1200", ss_erasecheck_824x1200, ss_erasecheck_824x1200_len},
    {"pattern", pattern, pattern_len},
    {"ss_battery_empty", ss_battery_empty, ss_battery_empty_len},
};
constexpr unsigned images_count = 4;

// The panel's own state; g_eink_canvas holds what it shares with the
// erase check.
struct panel_state {
    int fd = -1;
    int initialised = 0;
    uint8_t* buffer = nullptr;  // the framebuffer mapping
    unsigned size = 0;          // its length in bytes
    const eink_picture* pictures = nullptr;
};
panel_state panel;

void* by_value(unsigned long value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

bool is_open() { return panel.fd >= 0; }
bool is_mapped() { return is_open() && panel.buffer != nullptr; }

// A driver request by value, reported as a failure of the device.
int eink_request(unsigned long request, unsigned long value) {
    if (!is_open()) return 0;
    if (sys::kernel().ioctl(panel.fd, request, by_value(value)) == -1) {
        report_errno(fb_path, errno);
        return 0;
    }
    return 1;
}

const eink_picture* picture_set(unsigned width, unsigned height) {
    if (width <= 600 && height <= 800) return images_600x800;
    if (width <= 824 && height <= 1200) return images_824x1200;
    err("WARNING:Defaulting to using 600x800 screens.\n");
    return images_600x800;
}

void close_device() {
    sys::kernel().close(panel.fd);
    panel.fd = -1;
}

}  // namespace

int eink_init() {
    auto& k = sys::kernel();
    if (panel.initialised) return 1;

    // A failed earlier attempt may have left its pictures behind.
    egl_destroy(&g_eink_canvas.monofont);
    egl_destroy(&g_eink_canvas.sprites);
    if (!egl_load_memory("monofont", &g_eink_canvas.monofont, monofont, monofont_len, 0)) {
        err("ERROR:Unabled to load monospace font\n");
        return 0;
    }
    if (!egl_load_memory("sprites", &g_eink_canvas.sprites, sprites, sprites_len, 0))
        err("ERROR:Unabled to load sprites, ignoring\n");

    for (size_t i = 0; i < std::size(modules); ++i) {
        k.sleep(1);
        if (!install_module(modules[i], module_ops[i])) {
            err("ERROR:%s: failed to load eink driver\n", modules[i]);
            return 0;
        }
    }

    panel.fd = k.open(fb_path, O_RDWR);
    if (panel.fd < 0) {
        report_errno(fb_path, errno);
        panel.fd = -1;
        return 0;
    }
    // The normal boot program must not inherit the panel.
    if (k.fcntl_setfd(panel.fd, FD_CLOEXEC) != 0) report_errno("fcntl():/dev/fb0", errno);

    fb_var_screeninfo var{};
    fb_fix_screeninfo fix{};
    if (k.ioctl(panel.fd, FBIOGET_VSCREENINFO, &var) != 0 || k.ioctl(panel.fd, FBIOGET_FSCREENINFO, &fix) != 0) {
        report_errno(fb_path, errno);
        close_device();
        return 0;
    }

    panel.size = fix.smem_len;
    void* mapped = k.mmap(nullptr, panel.size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, panel.fd, 0);
    if (mapped == MAP_FAILED) {
        report_errno("eink mmap()", errno);
        panel.buffer = nullptr;
        return 0;
    }
    panel.buffer = static_cast<uint8_t*>(mapped);

    // A panel that reports no size leaves an empty picture, which every
    // drawing skips (the failure is on the console).
    egl_image& screen = g_eink_canvas.image;
    (void)egl_create_from_buffer(&screen, panel.buffer, var.xres, var.yres, var.bits_per_pixel);
    // Drawing must stay inside the mapping even if the driver reports less
    // memory than its screen size needs.
    if (screen.rowbytes != 0 && uint64_t{screen.rowbytes} * screen.yres > panel.size) {
        err("WARNING:eink memory holds only %u of %u rows\n", panel.size / screen.rowbytes, screen.yres);
        screen.yres = panel.size / screen.rowbytes;
    }
    err("INFO:eink initialized... %ux%u (%u bytes)\n", var.xres, var.yres, panel.size);
    g_eink_canvas.xres = var.xres;
    g_eink_canvas.yres = var.yres;
    panel.pictures = picture_set(g_eink_canvas.xres, g_eink_canvas.yres);
    panel.initialised = 1;
    return 1;
}

void eink_shutdown() {
    auto& k = sys::kernel();
    if (is_open()) {
        if (panel.buffer != nullptr) {
            (void)k.munmap(panel.buffer, panel.size);  // fails only for a mapping that is not ours
            panel.size = 0;
            panel.buffer = nullptr;
        }
        close_device();
        // A driver that stays loaded does no harm to the hand-off.
        for (size_t i = std::size(modules); i-- > 0;) (void)k.delete_module(modname(modules[i]), O_NONBLOCK);
    }
    // Nothing may draw into the released mapping.
    g_eink_canvas.image = egl_image{};
    g_eink_canvas.xres = 0;
    g_eink_canvas.yres = 0;
    egl_destroy(&g_eink_canvas.monofont);
    egl_destroy(&g_eink_canvas.sprites);
    panel.pictures = nullptr;
    panel.initialised = 0;
}

int eink_screen(int id) { return eink_request(eink_request_screen, static_cast<unsigned long>(id)); }

int eink_update(int mode) { return eink_request(eink_request_update, static_cast<unsigned long>(mode)); }
int eink_update_partial() { return eink_update(0); }
int eink_update_full() { return eink_update(1); }

int eink_asis() { return ioctl_wrapper(fb_path, panel.fd, eink_request_asis, by_value(0)); }

int eink_progressbar(unsigned percent) {
    if (!is_open()) return 0;
    if (ioctl_wrapper(fb_path, panel.fd, eink_request_progressbar, by_value(percent)) == -1) {
        err("ERROR:Could not update progressbar to %u\n", percent);
        return 0;
    }
    return 1;
}

int eink_progressbar_clear() {
    // A bar that cannot be removed is reported; the picture under it stays
    // as it was, which is all a caller could do about it.
    (void)eink_progressbar(progressbar_remove);
    return 1;
}

int eink_progressbar_location(int y) {
    if (!is_open()) return 0;
    int32_t point[2] = {0, y};
    if (ioctl_wrapper(fb_path, panel.fd, eink_request_progressbar_xy, point) != 0) {
        err("ERROR:Could not move progressbar location to (%d, %d)\n", 0, y);
        return 0;
    }
    return 1;
}

int eink_progressbar_default() {
    int32_t point[2] = {-1, -1};
    return sys::kernel().ioctl(panel.fd, eink_request_progressbar_xy, point);
}

int eink_clear() {
    if (!is_mapped()) return 0;
    std::memset(panel.buffer, 0, panel.size);
    return eink_update_full();
}

int eink_display_image(unsigned index, int x, int y) {
    if (index >= images_count || panel.pictures == nullptr) {
        err("ERROR:Could not display eink image #%u\n", index);
        return 0;
    }
    if (!is_mapped()) return 0;
    const eink_picture& picture = panel.pictures[index];
    egl_image record;
    if (!egl_load_memory(picture.label, &record, picture.data, picture.length, 0)) {
        err("ERROR:Could not display eink image %s\n", picture.label);
        return 0;
    }
    egl_copyrect(&g_eink_canvas.image, &record, x, y, record.xres, record.yres, 0, 0);
    (void)eink_update_full();  // reports its own failure; the picture is in place for the next update
    egl_destroy(&record);
    return 1;
}

void eink_drawchar(int x, int y, int c) {
    if (g_eink_canvas.image.image_data == nullptr || g_eink_canvas.monofont.image_data == nullptr) return;
    const int glyph = c >= '0' && c <= '9' ? c - '0' : 0;
    egl_copyrect(&g_eink_canvas.image, &g_eink_canvas.monofont, x, y, glyph_width, glyph_height, glyph * glyph_width, 0);
}

void eink_drawstring(unsigned x, unsigned y, unsigned left, const char* text) {
    if (text == nullptr) text = "";
    if (g_eink_canvas.image.image_data == nullptr || g_eink_canvas.monofont.image_data == nullptr) {
        err("ERROR:Ignoring request to draw string '%s' @ %u,%u\n", text, x, y);
        return;
    }
    err("INFO:drawing string '%s' @ %u,%u\n", text, x, y);
    for (const char* p = text; *p != '\0'; ++p) {
        if (x + glyph_width > g_eink_canvas.image.xres) {
            x = left;
            y += glyph_height;
        }
        eink_drawchar(static_cast<int>(x), static_cast<int>(y), static_cast<unsigned char>(*p));
        x += glyph_width;
    }
}

int eink_display_error(int code) {
    err("INFO:Error code: %u\n", static_cast<unsigned>(code));
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%04u", static_cast<unsigned>(code));
    const unsigned n = length > 0 ? static_cast<unsigned>(length) : 0;
    const unsigned x = (g_eink_canvas.xres - glyph_width * n) / 2;
    const unsigned y = g_eink_canvas.yres == 1200 ? 840 : 760;
    eink_drawstring(x, y, x, text);
    (void)eink_update_partial();  // the code is on the console above either way
    return 1;
}

int eink_char_to_sprite(int c) {
    switch (c) {
        case 'R': case 'r': return 1;
        case 'E': case 'e': return 2;
        case 'S': case 's': return 3;
        case 'T': case 't': return 4;
        default: return 0;
    }
}

void eink_drawsprite(int x, int y, int index) {
    egl_copyrect(&g_eink_canvas.image, &g_eink_canvas.sprites, x, y, sprite_size, sprite_size, 0, sprite_size * index);
    (void)eink_update_partial();  // reports its own failure
}

void eink_dump() {
    if (!is_mapped()) return;
    out("EINK DUMP (size=%d):\n", static_cast<int>(panel.size));
    unsigned printed = 0;
    unsigned looked = 0;
    while (looked < panel.size && printed < 128) {
        const uint8_t byte = panel.buffer[looked++];
        if (byte == 0) continue;
        ++printed;
        out("%02X%c", byte, printed % 16 == 0 ? '\n' : ' ');
    }
    out("\nLooked at %d bytes.\n", static_cast<int>(looked));
}

void eink_state_reset() {
    panel = {};
    g_eink_canvas = {};
}

}  // namespace qm

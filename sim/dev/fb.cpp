#include "sim/dev/fb.h"

#include <dirent.h>
#include <linux/fb.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "png_io.h"
#include "sim/kernel.h"
#include "sim/report.h"

namespace sim {

namespace {

constexpr unsigned fb_major = 29;
constexpr unsigned long request_update = 0x46DB;
constexpr unsigned long request_screen = 0x46DC;
constexpr unsigned long request_asis = 0x46E9;
constexpr unsigned long request_progressbar = 0x46EA;
constexpr unsigned long request_progressbar_xy = 0x46EB;

// A 5 x 7 capital font for the labels of the driver's built-in screens,
// which belong to the driver and are only stood in for here.
struct Glyph {
    char c;
    const char* rows[7];
};
constexpr Glyph label_font[] = {
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
    {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
    {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
    {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {':', {".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."}},
    {'(', {"...#.", "..#..", ".#...", ".#...", ".#...", "..#..", "...#."}},
    {')', {".#...", "..#..", "...#.", "...#.", "...#.", "..#..", ".#..."}},
    {'/', {".....", "....#", "...#.", "..#..", ".#...", "#....", "....."}},
};

const Glyph* find_glyph(char c) {
    for (const Glyph& glyph : label_font)
        if (glyph.c == c) return &glyph;
    return nullptr;
}

// What the driver's built-in screens are for, as their placeholders say.
const char* builtin_screen_purpose(int number) {
    switch (number) {
        case 8: return "USB STORAGE";
        case 20: return "STARTING UP";
        case 21: return "UPDATING";
        case 22: return "UPDATE DONE";
        case 23: return "UPDATE FAILED";
        case 25: return "BOOT FAILED";
        case 26: return "PLEASE WAIT";
        default: return "";
    }
}

void fill_rect(qm::egl_image& image, int x0, int y0, int w, int h, unsigned level) {
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) qm::egl_putpixel(&image, x, y, level);
}

int text_width(const std::string& text, int scale) { return static_cast<int>(text.size()) * 6 * scale - scale; }

void draw_text(qm::egl_image& image, int x, int y, const std::string& text, int scale, unsigned level) {
    for (const char c : text) {
        if (const Glyph* glyph = find_glyph(c)) {
            for (int row = 0; row < 7; ++row)
                for (int col = 0; col < 5; ++col)
                    if (glyph->rows[row][col] == '#') fill_rect(image, x + col * scale, y + row * scale, scale, scale, level);
        }
        x += 6 * scale;
    }
}

void draw_centred(qm::egl_image& image, int y, const std::string& text, int scale, unsigned level) {
    draw_text(image, (static_cast<int>(image.xres) - text_width(text, scale)) / 2, y, text, scale, level);
}

unsigned next_free_shot(const std::string& dir) {
    unsigned next = 0;
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) return 0;
    while (const dirent* entry = ::readdir(listing)) {
        char* end = nullptr;
        const unsigned long number = std::strtoul(entry->d_name, &end, 10);
        if (end != entry->d_name && std::strcmp(end, ".png") == 0 && number + 1 > next)
            next = static_cast<unsigned>(number + 1);
    }
    ::closedir(listing);
    return next;
}

class FbFile final : public OpenFile {
public:
    explicit FbFile(Panel& panel) : panel_(panel) {}
    ssize_t read(void* buf, size_t count) override {
        const auto& memory = panel_.memory();
        if (position_ >= memory.size()) return 0;
        count = std::min(count, memory.size() - position_);
        std::memcpy(buf, memory.data() + position_, count);
        position_ += count;
        return static_cast<ssize_t>(count);
    }
    ssize_t write(const void* buf, size_t count) override {
        auto& memory = panel_.memory();
        if (position_ >= memory.size()) {
            errno = ENOSPC;
            return -1;
        }
        count = std::min(count, memory.size() - position_);
        std::memcpy(memory.data() + position_, buf, count);
        position_ += count;
        return static_cast<ssize_t>(count);
    }
    off_t lseek(off_t offset, int whence) override {
        const off_t base = whence == SEEK_SET   ? 0
                           : whence == SEEK_CUR ? static_cast<off_t>(position_)
                                                : static_cast<off_t>(panel_.memory().size());
        if ((whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) || base + offset < 0) {
            errno = EINVAL;
            return -1;
        }
        position_ = static_cast<size_t>(base + offset);
        return base + offset;
    }
    int ioctl(unsigned long request, void* arg) override { return panel_.ioctl(request, arg); }
    int fstat(struct stat* st) override {
        *st = {};
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(fb_major, 0);
        return 0;
    }
    void* mmap(size_t length, int, int, off_t offset) override { return panel_.map(length, offset); }

private:
    Panel& panel_;
    size_t position_ = 0;
};

}  // namespace

bool parse_panel_size(const std::string& text, unsigned& width, unsigned& height) {
    unsigned w = 0;
    unsigned h = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%ux%u%c", &w, &h, &tail) != 2) return false;
    if (w == 0 || h == 0 || w > 4096 || h > 4096) return false;
    width = w;
    height = h;
    return true;
}

Panel::Panel(Kernel& kernel) : kernel_(kernel) {
    unsigned width = 600;
    unsigned height = 800;
    parse_panel_size(kernel.device().setting("panel", "600x800"), width, height);
    unsigned bpp = static_cast<unsigned>(kernel.device().setting_number("panel_bpp", 4));
    if (bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8) bpp = 4;
    memory_.assign(size_t{qm::egl_rowbytes(width, bpp, qm::egl_padding_8)} * height, 0);
    // Cannot fail: the size and depth were made valid above.
    (void)qm::egl_create_from_buffer(&image_, memory_.data(), width, height, bpp);
    next_shot_ = next_free_shot(kernel.device().host_path("screens"));
    record_screens_ = kernel.device().setting("screens", "all") != "none";
    // A driver may report less memory than its screen needs (panel_memory
    // in device.conf makes this one do so); never more than it has.
    const long reported = kernel.device().setting_number("panel_memory", static_cast<long>(memory_.size()));
    reported_memory_ = static_cast<uint32_t>(std::clamp<long>(reported, 0, static_cast<long>(memory_.size())));
}

void* Panel::map(size_t length, off_t offset) {
    if (offset != 0 || length == 0 || length > reported_memory_) {
        errno = EINVAL;
        return reinterpret_cast<void*>(-1);
    }
    return memory_.data();
}

int Panel::ioctl(unsigned long request, void* arg) {
    const auto value = reinterpret_cast<uintptr_t>(arg);
    switch (request) {
        case FBIOGET_VSCREENINFO: {
            auto* var = static_cast<fb_var_screeninfo*>(arg);
            *var = {};
            var->xres = var->xres_virtual = image_.xres;
            var->yres = var->yres_virtual = image_.yres;
            var->bits_per_pixel = image_.bpp;
            var->grayscale = 1;
            var->red.length = var->green.length = var->blue.length = image_.bpp;
            return 0;
        }
        case FBIOGET_FSCREENINFO: {
            auto* fix = static_cast<fb_fix_screeninfo*>(arg);
            *fix = {};
            std::strncpy(fix->id, "eink_fb", sizeof fix->id - 1);
            fix->smem_len = reported_memory_;
            fix->type = FB_TYPE_PACKED_PIXELS;
            fix->visual = FB_VISUAL_STATIC_PSEUDOCOLOR;
            fix->line_length = image_.rowbytes;
            return 0;
        }
        case request_update:
            if (value > 1) break;
            show(value == 1 ? "full refresh" : "partial refresh");
            return 0;
        case request_screen:
            draw_builtin_screen(static_cast<int>(value));
            show("built-in screen " + std::to_string(value));
            return 0;
        case request_asis:
            return 0;
        case request_progressbar:
            if (value > 101) break;
            if (value == 101) {
                if (!bar_shown_) return 0;
                bar_shown_ = false;
                show("progress bar removed");
            } else if (!bar_shown_ || bar_percent_ != value) {
                bar_shown_ = true;
                bar_percent_ = static_cast<unsigned>(value);
                show("progress bar " + std::to_string(value) + "%");
            }
            return 0;
        case request_progressbar_xy: {
            const auto* point = static_cast<const int32_t*>(arg);
            if (point[0] == -1 && point[1] == -1) {
                bar_y_ = -1;
                return 0;
            }
            if (point[1] < 0 || static_cast<unsigned>(point[1]) >= image_.yres) break;
            bar_y_ = point[1];
            return 0;
        }
        default:
            errno = ENOTTY;
            return -1;
    }
    errno = EINVAL;
    return -1;
}

void Panel::draw_builtin_screen(int number) {
    const unsigned ink = (1u << image_.bpp) - 1;
    const int w = static_cast<int>(image_.xres);
    const int h = static_cast<int>(image_.yres);
    std::fill(memory_.begin(), memory_.end(), 0);
    // A dashed frame says "stand-in" at a glance.
    for (int x = 10; x < w - 10; x += 24) {
        fill_rect(image_, x, 10, 12, 4, ink);
        fill_rect(image_, x, h - 14, 12, 4, ink);
    }
    for (int y = 10; y < h - 10; y += 24) {
        fill_rect(image_, 10, y, 4, 12, ink);
        fill_rect(image_, w - 14, y, 4, 12, ink);
    }
    const int scale = w >= 800 ? 4 : 3;
    draw_centred(image_, h / 4, "DRIVER SCREEN " + std::to_string(number), scale, ink);
    draw_centred(image_, h / 4 + 14 * scale, builtin_screen_purpose(number), scale + 2, ink);
    draw_centred(image_, h / 4 + 14 * scale + 7 * (scale + 2) + 24, "SIMULATED PLACEHOLDER", 2, ink / 2 + 1);
}

std::string Panel::next_shot_path() const {
    char name[32];
    std::snprintf(name, sizeof name, "screens/%03u.png", next_shot_);
    return kernel_.device().host_path(name);
}

void Panel::show(const std::string& what) {
    // Encoding a picture costs far more than anything the program does for
    // one refresh; a run that measures the program can do without them.
    RunReport* report = kernel_.report();
    if (!record_screens_ && report == nullptr) {
        kernel_.klog().log("eink_fb: " + what + " (not recorded)");
        return;
    }
    picture::GrayImage shot;
    shot.width = image_.xres;
    shot.height = image_.yres;
    shot.pixels.resize(size_t{shot.width} * shot.height);
    for (unsigned y = 0; y < shot.height; ++y)
        for (unsigned x = 0; x < shot.width; ++x)
            shot.pixels[size_t{y} * shot.width + x] = picture::ink_to_gray(
                qm::egl_getpixel(&image_, static_cast<int>(x), static_cast<int>(y)), image_.bpp);

    if (bar_shown_) {
        // The driver draws its bar over the picture without touching the
        // framebuffer memory.
        const unsigned top = bar_y_ >= 0 ? static_cast<unsigned>(bar_y_) : shot.height * 17 / 20;
        const unsigned left = shot.width / 8;
        const unsigned right = shot.width - left;
        const unsigned filled = left + 4 + (right - left - 8) * bar_percent_ / 100;
        for (unsigned y = top; y < std::min(top + 24, shot.height); ++y) {
            for (unsigned x = left; x < right; ++x) {
                const bool border = y < top + 2 || y >= top + 22 || x < left + 2 || x >= right - 2;
                const bool inside = y >= top + 4 && y < top + 20 && x >= left + 4 && x < filled;
                shot.pixels[size_t{y} * shot.width + x] = border || inside ? 0 : 255;
            }
        }
    }

    std::vector<uint8_t> png;
    std::string error;
    if (!picture::encode_png(shot, png, error)) {
        kernel_.klog().log("eink_fb: cannot record the panel: " + error);
        return;
    }
    std::string file;
    if (!record_screens_) {
        kernel_.klog().log("eink_fb: " + what + " (not recorded)");
    } else {
        ::mkdir(kernel_.device().host_path("screens").c_str(), 0755);
        const std::string path = next_shot_path();
        ++next_shot_;
        if (picture::write_file(path, png, error)) {
            file = path.substr(path.rfind("screens/"));
            kernel_.klog().log("eink_fb: " + what + " (" + file + ")");
        } else {
            kernel_.klog().log("eink_fb: cannot record the panel: " + error);
        }
    }
    if (report != nullptr) report->picture(kernel_.clock().now(), what, file, shot.width, shot.height, std::move(png));
}

void add_fb_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes) {
    if (!kernel.modules().loaded("eink_fb_shim")) return;
    nodes.push_back({"/dev/fb0", S_IFCHR, makedev(fb_major, 0),
                     [&kernel](int) -> std::unique_ptr<OpenFile> { return std::make_unique<FbFile>(kernel.panel()); }});
}

Panel& Kernel::panel() {
    if (!panel_) panel_ = std::make_shared<Panel>(*this);
    return *panel_;
}

}  // namespace sim

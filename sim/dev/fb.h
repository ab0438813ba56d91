// The e-ink panel of the simulated device, /dev/fb0. The node appears once
// the display driver's last module (eink_fb_shim) is loaded, as the real
// driver registers the framebuffer then. It answers the screen queries and
// the e-ink requests, keeps the framebuffer memory for the whole run, and
// writes screens/NNN.png in the device directory whenever the panel shows
// something new (unless device.conf says screens=none), and gives each
// picture to the run's page when one is kept (sim/report.h).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "display/egl_image.h"
#include "sim/devices.h"

namespace sim {

// "WxH" with both between 1 and 4096.
bool parse_panel_size(const std::string& text, unsigned& width, unsigned& height);

class Panel {
public:
    explicit Panel(Kernel& kernel);

    int ioctl(unsigned long request, void* arg);
    // The framebuffer memory for a shared mapping; nullptr with errno set.
    void* map(size_t length, off_t offset);
    std::vector<uint8_t>& memory() { return memory_; }

    unsigned width() const { return image_.xres; }
    unsigned height() const { return image_.yres; }
    // The driver's progress bar: whether it is drawn, its value and row
    // (-1 for the driver's own place).
    bool bar_shown() const { return bar_shown_; }
    unsigned bar_percent() const { return bar_percent_; }
    int bar_y() const { return bar_y_; }
    // screens/NNN.png of the next picture the panel shows.
    std::string next_shot_path() const;

private:
    // Records what the panel shows now as the next screens/NNN.png.
    void show(const std::string& what);
    void draw_builtin_screen(int number);

    Kernel& kernel_;
    std::vector<uint8_t> memory_;
    qm::egl_image image_;
    bool bar_shown_ = false;
    unsigned bar_percent_ = 0;
    int bar_y_ = -1;  // -1: the driver's own place
    unsigned next_shot_ = 0;
    bool record_screens_ = true;  // "screens=none" in device.conf: no pictures
    uint32_t reported_memory_ = 0;  // screen memory length the driver reports
};

void add_fb_nodes(Kernel& kernel, std::vector<DeviceNode>& nodes);

}  // namespace sim

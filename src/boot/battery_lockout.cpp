#include "boot/battery_lockout.h"

#include <algorithm>

#include "boot/handoff.h"
#include "display/bar.h"
#include "display/eink.h"
#include "input/readkey.h"
#include "platform/boardid.h"
#include "storage/gadget.h"
#include "sys/console.h"
#include "sys/kernel.h"

namespace qm {

namespace {

constexpr const char* lockout_title = "Critical Battery Lock-out Menu";
constexpr const char* no_charge = "Could not check battery charge.\n";

// A reader has no console: the panel tells its owner why it does not
// start and what to do. The picture is 600 x 800, centred on a larger
// panel; the lock-out goes on without the panel.
void show_lockout_picture() {
    auto& k = sys::kernel();
    k.alarm(30);  // the display's start-up
    if (eink_init()) {
        const int x = std::max(0, (static_cast<int>(g_eink_canvas.xres) - 600) / 2);
        const int y = std::max(0, (static_cast<int>(g_eink_canvas.yres) - 800) / 2);
        (void)eink_display_image(eink_picture_battery_empty, x, y);  // reports its own failure
    }
    k.alarm(15);
}

}  // namespace

void print_charge_percent(int charge) {
    const auto value = static_cast<unsigned>(charge);
    if (value > 100) {
        out("Charge: Unknown\n");
        return;
    }
    out("Charge: %u%% ", value);
    draw_bar_text(60, value, 100);
    out("\n");
}

void dump_gasgauge() {
    gasgauge* gauge = gasgauge_open();
    if (gauge == nullptr) return;
    print_charge_percent(gasgauge_charge_percent(gauge));
    gasgauge_close(gauge);
}

void critical_battery_menu(gasgauge* gauge, int charge) {
    auto& k = sys::kernel();
    for (;;) {
        k.alarm(30);
        print_charge_percent(charge);
        out("\n[%s]\n1. Skip\nR. reboot\nChoose: ", lockout_title);
        char key = 0;
        if (!read_key(&key, 10, nullptr, 0, 0)) {
            charge = gasgauge_charge_percent(gauge);
            if (charge < 0) {
                out("%s", no_charge);
                return;
            }
            if (charge > 0) {
                out("\n=== BATTERY HAS SUFFICIENT CHARGE (%d%%) ===\n", charge);
                return;
            }
            continue;
        }
        switch (key) {
            case '1':
            case 'q':
            case 'Q': out("*** Skipping critical battery lock-out.\n"); return;
            case 'R':
            case 'r':
                k.alarm(15);
                quillmar_shutdown(1);
                break;
            default: out("Unknown key '%c'\n", key); break;
        }
    }
}

void critical_battery_check() {
    auto& k = sys::kernel();
    k.alarm(15);
    if (is_devboard()) {
        out("Skipping critical battery check because this is a development board.\n");
        k.alarm(0);
        return;
    }
    gasgauge* gauge = gasgauge_open();
    if (gauge == nullptr) {
        out("%s", no_charge);
        k.alarm(0);
        return;
    }
    const int charge = gasgauge_charge_percent(gauge);
    if (charge < 0) {
        out("%s", no_charge);
    } else if (charge == 0) {
        // Loading the USB device drivers also starts the charger on the
        // NOR-boot family. Without them the menu still waits for a charger
        // it may not see; storage_init reports why.
        (void)storage_init();
        show_lockout_picture();
        out("\n=== BATTERY IS CRITICALLY LOW - DEFERRING BOOT ===\n");
        critical_battery_menu(gauge, 0);
        k.alarm(15);
    } else {
        k.alarm(15);
    }
    gasgauge_close(gauge);
    k.alarm(0);
}

}  // namespace qm

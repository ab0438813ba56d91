#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "display/eink.h"
#include "display/pictures.h"
#include "png_io.h"
#include "sim/dev/fb.h"
#include "support/param_name.h"
#include "support/simkernel.h"
#include "support/testdir.h"

namespace {

using qm::egl_image;

sim::InitOptions panel_of(const char* size) {
    sim::InitOptions options;
    options.panel = size;
    return options;
}

// An embedded picture, inflated by the program's own loader.
struct Embedded {
    egl_image image;
    Embedded(const uint8_t* data, size_t length) {
        EXPECT_EQ(qm::egl_load_memory("test", &image, data, length, 0), 1);
    }
    ~Embedded() { qm::egl_destroy(&image); }
    Embedded(const Embedded&) = delete;
    Embedded& operator=(const Embedded&) = delete;
};

// Counts the pixels of a panel PNG that differ from what the picture at
// (0, 0) should make them: the picture's own grey inside it, paper outside.
size_t mismatches(const picture::GrayImage& shot, const egl_image& expected) {
    size_t wrong = 0;
    for (uint32_t y = 0; y < shot.height; ++y) {
        for (uint32_t x = 0; x < shot.width; ++x) {
            const unsigned ink = x < expected.xres && y < expected.yres
                                     ? qm::egl_getpixel(&expected, static_cast<int>(x), static_cast<int>(y))
                                     : 0;
            if (shot.at(x, y) != picture::ink_to_gray(ink, expected.bpp)) ++wrong;
        }
    }
    return wrong;
}

// Whether the framebuffer holds glyph c of the font with its corner at (x, y).
bool glyph_at(unsigned x, unsigned y, char c) {
    const int glyph = c - '0';
    for (int j = 0; j < 18; ++j) {
        for (int i = 0; i < 14; ++i) {
            const unsigned want = qm::egl_getpixel(&qm::g_eink_canvas.monofont, glyph * 14 + i, j) * 5;
            if (qm::egl_getpixel(&qm::g_eink_canvas.image, static_cast<int>(x) + i, static_cast<int>(y) + j) != want)
                return false;
        }
    }
    return true;
}

bool blank_framebuffer() {
    for (uint32_t y = 0; y < qm::g_eink_canvas.image.yres; ++y)
        for (uint32_t x = 0; x < qm::g_eink_canvas.image.xres; ++x)
            if (qm::egl_getpixel(&qm::g_eink_canvas.image, static_cast<int>(x), static_cast<int>(y)) != 0) return false;
    return true;
}

// A simulated device whose panel the test brings up; the panel is always
// released again, since its state outlives the device otherwise.
class Eink : public testing::Test {
protected:
    explicit Eink(const sim::InitOptions& options = {}) : device(options) {}
    void TearDown() override { qm::eink_shutdown(); }
    void start() {
        ASSERT_EQ(qm::eink_init(), 1) << device.console();
        device.take_console();
    }
    sim::Panel& panel() { return device.kernel().panel(); }
    picture::GrayImage read_shot(const std::string& path) {
        picture::GrayImage shot;
        std::string error;
        EXPECT_TRUE(picture::read_png(path, shot, error)) << error;
        return shot;
    }

    test::SimDevice device;
};

TEST_F(Eink, InitLoadsTheDriverMapsThePanelOnceAndShutdownUndoesIt) {
    struct stat status {};
    EXPECT_NE(device.kernel().stat("/dev/fb0", &status), 0) << "no framebuffer before its driver";
    ASSERT_EQ(qm::eink_init(), 1);
    EXPECT_EQ(device.console(),
              "INFO:Loaded module /lib/modules/eink_fb_hal.ko  (44 bytes)\n"
              "INFO:Loaded module /lib/modules/eink_fb_hal_broads.ko bs_orientation=0 bs_bpp=4 (51 bytes)\n"
              "INFO:Loaded module /lib/modules/eink_fb_shim.ko  (45 bytes)\n"
              "INFO:eink initialized... 600x800 (240000 bytes)\n");
    const auto& loaded = device.kernel().modules().all();
    ASSERT_EQ(loaded.size(), 3u);
    EXPECT_EQ(loaded.at("eink_fb_hal_broads"), "bs_orientation=0 bs_bpp=4");
    const std::string& klog = device.kernel().klog().text();
    EXPECT_LT(klog.find("eink_fb_hal: module loaded"), klog.find("eink_fb_hal_broads: module loaded"));
    EXPECT_LT(klog.find("eink_fb_hal_broads: module loaded"), klog.find("eink_fb_shim: module loaded"));
    EXPECT_EQ(device.kernel().time(nullptr) - sim::Kernel::epoch, 3) << "one second before each module";
    EXPECT_EQ(qm::g_eink_canvas.xres, 600u);
    EXPECT_EQ(qm::g_eink_canvas.yres, 800u);
    EXPECT_EQ(qm::g_eink_canvas.image.bpp, 4u);
    EXPECT_EQ(qm::g_eink_canvas.monofont.xres, 224u);
    EXPECT_EQ(qm::g_eink_canvas.monofont.yres, 18u);
    EXPECT_EQ(qm::g_eink_canvas.sprites.xres, 32u);
    EXPECT_EQ(qm::g_eink_canvas.sprites.yres, 160u);
    const auto passed_on = device.kernel().passed_on_exec();
    EXPECT_EQ(std::count(passed_on.begin(), passed_on.end(), "/dev/fb0"), 0)
        << "the normal boot program and shell commands must not inherit the panel";

    device.take_console();
    EXPECT_EQ(qm::eink_init(), 1);
    EXPECT_EQ(device.console(), "") << "a second init does nothing";

    qm::eink_shutdown();
    EXPECT_TRUE(device.kernel().modules().all().empty());
    EXPECT_LT(klog.find("eink_fb_shim: module unloaded"), klog.find("eink_fb_hal_broads: module unloaded"));
    EXPECT_LT(klog.find("eink_fb_hal_broads: module unloaded"), klog.find("eink_fb_hal: module unloaded"));
    EXPECT_EQ(qm::g_eink_canvas.image.image_data, nullptr);
    EXPECT_EQ(qm::eink_screen(20), 0) << "closed again";

    device.take_console();
    EXPECT_EQ(qm::eink_init(), 1) << "the panel comes up again after a shutdown: " << device.console();
}

TEST_F(Eink, FailedInitReportsTheModuleAndARetryFailsOnTheLoadedOnes) {
    const std::string module = device.host("lib/modules/eink_fb_hal_broads.ko");
    const std::string saved = module + ".saved";
    ASSERT_EQ(std::rename(module.c_str(), saved.c_str()), 0);
    EXPECT_EQ(qm::eink_init(), 0);
    EXPECT_NE(device.console().find("ERROR:/lib/modules/eink_fb_hal_broads.ko: failed to load eink driver\n"),
              std::string::npos)
        << device.console();
    ASSERT_EQ(std::rename(saved.c_str(), module.c_str()), 0);
    device.take_console();
    EXPECT_EQ(qm::eink_init(), 0);
    EXPECT_NE(device.console().find("ERROR:/lib/modules/eink_fb_hal.ko: failed to load eink driver\n"),
              std::string::npos)
        << device.console();
}

TEST_F(Eink, EveryRequestIsRefusedQuietlyWhileClosed) {
    EXPECT_EQ(qm::eink_screen(25), 0);
    EXPECT_EQ(qm::eink_update_full(), 0);
    EXPECT_EQ(qm::eink_update_partial(), 0);
    EXPECT_EQ(qm::eink_progressbar(50), 0);
    EXPECT_EQ(qm::eink_progressbar_location(100), 0);
    EXPECT_EQ(qm::eink_clear(), 0);
    EXPECT_EQ(qm::eink_progressbar_clear(), 1);
    qm::eink_drawchar(0, 0, '1');
    qm::eink_dump();
    EXPECT_EQ(device.console(), "");
    EXPECT_EQ(qm::eink_display_image(0, 0, 0), 0);
    EXPECT_EQ(qm::eink_display_error(8), 1);
    EXPECT_EQ(qm::eink_asis(), -1);
    EXPECT_EQ(device.console(),
              "ERROR:Could not display eink image #0\n"
              "INFO:Error code: 8\n"
              "ERROR:Ignoring request to draw string '0008' @ 2147483620,760\n"
              "ERROR:/dev/fb0:Bad file descriptor(9)\n");
    struct stat status {};
    EXPECT_NE(::stat(device.host("screens").c_str(), &status), 0) << "the panel never showed anything";
}

TEST_F(Eink, PictureZeroOnThePanelIsTheEmbeddedPicturePixelForPixel) {
    start();
    const std::string shot_path = panel().next_shot_path();
    EXPECT_EQ(qm::eink_display_image(qm::eink_picture_menu, 0, 0), 1);
    EXPECT_EQ(device.console(), "");
    Embedded expected(qm::ss_recovery, qm::ss_recovery_len);
    ASSERT_EQ(expected.image.xres, 600u);
    ASSERT_EQ(expected.image.yres, 800u);
    ASSERT_EQ(expected.image.bpp, 2u);
    const auto shot = read_shot(shot_path);
    ASSERT_EQ(shot.width, 600u);
    ASSERT_EQ(shot.height, 800u);
    EXPECT_EQ(mismatches(shot, expected.image), 0u);
}

TEST_F(Eink, PictureIndexPastTheSetIsRefused) {
    start();
    EXPECT_EQ(qm::eink_display_image(4, 0, 0), 0);
    EXPECT_EQ(device.console(), "ERROR:Could not display eink image #4\n");
}

TEST_F(Eink, DrawStringWrapsToTheLeftColumn) {
    start();
    qm::eink_drawstring(572, 0, 7, "345");
    EXPECT_TRUE(glyph_at(572, 0, '3'));
    EXPECT_TRUE(glyph_at(586, 0, '4')) << "a glyph that ends on the edge still fits";
    EXPECT_TRUE(glyph_at(7, 18, '5'));
    qm::eink_drawstring(595, 100, 40, "9");
    EXPECT_TRUE(glyph_at(40, 118, '9'));
    EXPECT_EQ(device.console(),
              "INFO:drawing string '345' @ 572,0\n"
              "INFO:drawing string '9' @ 595,100\n");
}

TEST_F(Eink, LettersDrawTheZeroGlyphAndSpritesGoWhereAsked) {
    start();
    qm::eink_drawchar(10, 10, 'A');
    EXPECT_TRUE(glyph_at(10, 10, '0'));
    qm::eink_drawchar(30, 10, '7');
    EXPECT_TRUE(glyph_at(30, 10, '7'));
    EXPECT_FALSE(glyph_at(30, 10, '1'));

    const std::string shot_path = panel().next_shot_path();
    qm::eink_drawsprite(204, 246, qm::eink_char_to_sprite('s'));
    for (int j = 0; j < 32; ++j)
        for (int i = 0; i < 32; ++i)
            ASSERT_EQ(qm::egl_getpixel(&qm::g_eink_canvas.image, 204 + i, 246 + j),
                      qm::egl_getpixel(&qm::g_eink_canvas.sprites, i, 3 * 32 + j) * 5);
    struct stat status {};
    EXPECT_EQ(::stat(shot_path.c_str(), &status), 0) << "a sprite is refreshed at once";
}

TEST(EinkSprites, LettersOfResetHaveTheirOwnSprites) {
    const struct {
        int c;
        int sprite;
    } cases[] = {{'R', 1}, {'r', 1}, {'E', 2}, {'e', 2}, {'S', 3}, {'s', 3}, {'T', 4},
                 {'t', 4}, {'x', 0}, {200, 0}, {0, 0},   {-1, 0}};
    for (const auto& c : cases) EXPECT_EQ(qm::eink_char_to_sprite(c.c), c.sprite) << c.c;
}

TEST_F(Eink, ProgressBarRequestsReachTheDriver) {
    start();
    EXPECT_EQ(qm::eink_progressbar(42), 1);
    EXPECT_TRUE(panel().bar_shown());
    EXPECT_EQ(panel().bar_percent(), 42u);
    EXPECT_EQ(qm::eink_progressbar_location(500), 1);
    EXPECT_EQ(panel().bar_y(), 500);
    EXPECT_EQ(qm::eink_progressbar_default(), 0);
    EXPECT_EQ(panel().bar_y(), -1);
    EXPECT_EQ(qm::eink_progressbar_clear(), 1);
    EXPECT_FALSE(panel().bar_shown());
    EXPECT_EQ(device.console(), "");

    EXPECT_EQ(qm::eink_progressbar(150), 0);
    EXPECT_EQ(qm::eink_progressbar_location(5000), 0);
    EXPECT_EQ(device.console(),
              "ERROR:/dev/fb0:Invalid argument(22)\n"
              "ERROR:Could not update progressbar to 150\n"
              "ERROR:/dev/fb0:Invalid argument(22)\n"
              "ERROR:Could not move progressbar location to (0, 5000)\n");
}

TEST_F(Eink, ClearBlanksTheFramebufferAndDumpListsInkBytes) {
    start();
    (void)qm::eink_display_image(qm::eink_picture_pattern, 0, 0);
    EXPECT_FALSE(blank_framebuffer());
    EXPECT_EQ(qm::eink_clear(), 1);
    EXPECT_TRUE(blank_framebuffer());

    qm::eink_dump();
    EXPECT_EQ(device.take_console(), "EINK DUMP (size=240000):\n\nLooked at 240000 bytes.\n");
    for (int i = 0; i < 18; ++i) qm::g_eink_canvas.image.image_data[10 + 2 * i] = static_cast<uint8_t>(0xA0 + i);
    qm::eink_dump();
    EXPECT_EQ(device.take_console(),
              "EINK DUMP (size=240000):\n"
              "A0 A1 A2 A3 A4 A5 A6 A7 A8 A9 AA AB AC AD AE AF\n"
              "B0 B1 \nLooked at 240000 bytes.\n");
    std::memset(qm::g_eink_canvas.image.image_data + 1000, 0x11, 200);
    qm::eink_dump();
    const std::string dump = device.take_console();
    EXPECT_NE(dump.find("\nLooked at 1110 bytes.\n"), std::string::npos) << "stops at the 128th ink byte: " << dump;
}

// ------------------------------------------------------- sizes of panels

struct PanelCase {
    const char* name;
    const char* size;
    const uint8_t* notice;  // the factory-reset notice the panel should get
    const size_t* notice_len;
    bool warns;
    unsigned code_x, code_y;  // where an error code goes
};

class EinkPanel : public testing::TestWithParam<PanelCase> {
protected:
    EinkPanel() : device(panel_of(GetParam().size)) {}
    void TearDown() override { qm::eink_shutdown(); }
    test::SimDevice device;
};

TEST_P(EinkPanel, ChoosesPicturesAndPlacesErrorCodesForItsSize) {
    const auto& c = GetParam();
    ASSERT_EQ(qm::eink_init(), 1) << device.console();
    EXPECT_EQ(device.console().find("WARNING:Defaulting to using 600x800 screens.\n") != std::string::npos, c.warns)
        << device.console();

    // The notice of the chosen set fills the panel from its corner.
    const std::string notice_path = device.kernel().panel().next_shot_path();
    ASSERT_EQ(qm::eink_display_image(qm::eink_picture_erasecheck, 0, 0), 1);
    picture::GrayImage shot;
    std::string error;
    ASSERT_TRUE(picture::read_png(notice_path, shot, error)) << error;
    Embedded notice(c.notice, *c.notice_len);
    EXPECT_EQ(mismatches(shot, notice.image), 0u);

    // Picture 0 is 600 x 800 in every set and covers only that much.
    (void)qm::eink_clear();
    const std::string menu_path = device.kernel().panel().next_shot_path();
    ASSERT_EQ(qm::eink_display_image(qm::eink_picture_menu, 0, 0), 1);
    ASSERT_TRUE(picture::read_png(menu_path, shot, error)) << error;
    Embedded menu(qm::ss_recovery, qm::ss_recovery_len);
    EXPECT_EQ(mismatches(shot, menu.image), 0u);

    device.take_console();
    (void)qm::eink_clear();
    EXPECT_EQ(qm::eink_display_error(8), 1);
    char drawing[80];
    std::snprintf(drawing, sizeof drawing, "INFO:drawing string '0008' @ %u,%u\n", c.code_x, c.code_y);
    EXPECT_EQ(device.console(), std::string("INFO:Error code: 8\n") + drawing);
    for (unsigned i = 0; i < 4; ++i) EXPECT_TRUE(glyph_at(c.code_x + 14 * i, c.code_y, i == 3 ? '8' : '0')) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, EinkPanel,
    testing::Values(
        PanelCase{"small", "600x800", qm::ss_erasecheck_600x800, &qm::ss_erasecheck_600x800_len, false, 272, 760},
        PanelCase{"medium", "758x1024", qm::ss_erasecheck_824x1200, &qm::ss_erasecheck_824x1200_len, false, 351,
                  760},
        PanelCase{"large", "824x1200", qm::ss_erasecheck_824x1200, &qm::ss_erasecheck_824x1200_len, false, 384,
                  840},
        PanelCase{"too_large", "1072x1448", qm::ss_erasecheck_600x800, &qm::ss_erasecheck_600x800_len, true, 508,
                  760}),
    test::ParamName());

// --------------------------------------------------------------- artwork

// The erase check draws the typed letters into the white field of the
// notice, so the band and the field must be exactly where it expects.
struct NoticeCase {
    const char* name;
    const uint8_t* data;
    const size_t* length;
    uint32_t width, height;
    int band_top, band_bottom, field_left, field_right, field_top, field_bottom;
};

class NoticeArtwork : public testing::TestWithParam<NoticeCase> {};

TEST_P(NoticeArtwork, BandAndFieldAreWhereTheLettersGo) {
    const auto& c = GetParam();
    test::SimDevice device;
    Embedded notice(c.data, *c.length);
    const egl_image& image = notice.image;
    ASSERT_EQ(image.xres, c.width);
    ASSERT_EQ(image.yres, c.height);
    ASSERT_EQ(image.bpp, 2u);
    auto at = [&](int x, int y) { return qm::egl_getpixel(&image, x, y); };
    for (int y = c.band_top; y <= c.band_bottom; ++y) {
        EXPECT_EQ(at(5, y), 3u) << "band, row " << y;
        EXPECT_EQ(at(static_cast<int>(c.width) - 5, y), 3u) << "band, row " << y;
    }
    EXPECT_NE(at(5, c.band_top - 1), 3u);
    EXPECT_NE(at(5, c.band_bottom + 1), 3u);
    // The field is white inside, away from its rounded corners, and black
    // just outside it.
    for (int y = c.field_top + 12; y <= c.field_bottom - 12; ++y)
        for (int x = c.field_left; x <= c.field_right; ++x) ASSERT_EQ(at(x, y), 0u) << x << "," << y;
    for (int y = c.field_top; y <= c.field_bottom; ++y)
        for (int x = c.field_left + 12; x <= c.field_right - 12; ++x) ASSERT_EQ(at(x, y), 0u) << x << "," << y;
    const int middle = (c.field_top + c.field_bottom) / 2;
    EXPECT_EQ(at(c.field_left - 1, middle), 3u);
    EXPECT_EQ(at(c.field_right + 1, middle), 3u);
    EXPECT_EQ(at((c.field_left + c.field_right) / 2, c.field_top - 1), 3u);
    EXPECT_EQ(at((c.field_left + c.field_right) / 2, c.field_bottom + 1), 3u);
}

INSTANTIATE_TEST_SUITE_P(Sets, NoticeArtwork,
                         testing::Values(NoticeCase{"small", qm::ss_erasecheck_600x800,
                                                    &qm::ss_erasecheck_600x800_len, 600, 800, 215, 308, 100, 499,
                                                    240, 283},
                                         NoticeCase{"large", qm::ss_erasecheck_824x1200,
                                                    &qm::ss_erasecheck_824x1200_len, 824, 1200, 362, 455, 212,
                                                    611, 387, 430}),
                         test::ParamName());

TEST(Artwork, EveryPictureHasItsSizeAndDepth) {
    test::SimDevice device;
    const struct {
        const uint8_t* data;
        size_t length;
        uint32_t width, height;
    } cases[] = {{qm::ss_recovery, qm::ss_recovery_len, 600, 800},
                 {qm::ss_erasecheck_600x800, qm::ss_erasecheck_600x800_len, 600, 800},
                 {qm::ss_erasecheck_824x1200, qm::ss_erasecheck_824x1200_len, 824, 1200},
                 {qm::pattern, qm::pattern_len, 600, 800},
                 {qm::monofont, qm::monofont_len, 224, 18},
                 {qm::sprites, qm::sprites_len, 32, 160}};
    for (const auto& c : cases) {
        Embedded picture(c.data, c.length);
        EXPECT_EQ(picture.image.xres, c.width);
        EXPECT_EQ(picture.image.yres, c.height);
        EXPECT_EQ(picture.image.bpp, 2u);
        EXPECT_EQ(picture.image.rowbytes, (c.width * 2 + 7) / 8);
    }
    EXPECT_EQ(device.console(), "");
}

}  // namespace

namespace {

// A driver that reports less screen memory than its panel needs: drawing
// stays inside the mapping.
TEST(EinkShortMemory, DrawingStaysInsideTheMapping) {
    test::TempDir dir;
    std::string error;
    ASSERT_TRUE(sim::init_device(dir / "dev", {}, error)) << error;
    test::write_file(dir / "dev/device.conf", test::read_file(dir / "dev/device.conf") + "panel_memory=30000\n");
    sim::DeviceDir device_dir;
    ASSERT_TRUE(device_dir.load(dir / "dev", error)) << error;
    sim::Kernel kernel(device_dir, sim::Console::Input::silent);
    std::string console;
    kernel.console().capture_to(&console);
    sys::install(kernel);

    ASSERT_EQ(qm::eink_init(), 1) << console;
    EXPECT_NE(console.find("WARNING:eink memory holds only 100 of 800 rows\n"), std::string::npos) << console;
    EXPECT_EQ(qm::g_eink_canvas.image.yres, 100u);
    EXPECT_EQ(qm::g_eink_canvas.yres, 800u);
    EXPECT_EQ(qm::eink_display_image(qm::eink_picture_pattern, 0, 0), 1);
    const auto& memory = kernel.panel().memory();
    for (size_t i = 30000; i < memory.size(); ++i) ASSERT_EQ(memory[i], 0) << "written past the mapping at " << i;
    qm::eink_shutdown();
}

}  // namespace

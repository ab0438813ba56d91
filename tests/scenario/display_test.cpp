#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>
#include <string>
#include <vector>

#include "display/egl_image.h"
#include "display/pictures.h"
#include "png_io.h"
#include "support/param_name.h"
#include "support/people.h"
#include "support/simrun.h"
#include "support/testdir.h"
#include "sys/kernel.h"
#include "sys/linux_kernel.h"

namespace {

// The program's picture loader reports through the kernel seam.
void install_host_kernel() {
    static sys::LinuxKernel host;
    sys::install(host);
}

picture::GrayImage read_png(const std::string& path) {
    picture::GrayImage image;
    std::string error;
    EXPECT_TRUE(picture::read_png(path, image, error)) << error;
    return image;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

// Whether the 14 x 18 box at (x, y) of a panel picture is exactly the
// font's glyph for c, and the glyph cell before the text is blank paper.
bool shows_digits(const picture::GrayImage& shot, unsigned x, unsigned y, const std::string& digits) {
    install_host_kernel();
    qm::egl_image font;
    if (qm::egl_load_memory("monofont", &font, qm::monofont, qm::monofont_len, 0) != 1) return false;
    bool same = true;
    for (size_t n = 0; n < digits.size(); ++n) {
        for (unsigned j = 0; j < 18; ++j) {
            for (unsigned i = 0; i < 14; ++i) {
                const unsigned ink = qm::egl_getpixel(&font, (digits[n] - '0') * 14 + static_cast<int>(i),
                                                      static_cast<int>(j));
                same = same && shot.at(x + 14 * static_cast<unsigned>(n) + i, y + j) == picture::ink_to_gray(ink, 2);
                same = same && shot.at(x - 14 + i, y + j) == 255;
            }
        }
    }
    qm::egl_destroy(&font);
    return same;
}

struct FailureCase {
    const char* name;
    const char* panel;
    unsigned width, height;
    unsigned x, y;
};

class BootFailureScreen : public testing::TestWithParam<FailureCase> {};

TEST_P(BootFailureScreen, ShowsErrorCode0200BeforePowerOff) {
    const auto& c = GetParam();
    test::TempDir dir;
    test::init_device(dir / "dev", {"--panel", c.panel});
    ASSERT_EQ(std::remove((dir / "dev/mmc0.img").c_str()), 0);
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_EQ(run.last_line(), "SIM: power-off") << run.output;

    // First the driver's boot-failure screen, then the code drawn over it.
    ASSERT_TRUE(exists(dir / "dev/screens/000.png")) << run.output;
    ASSERT_TRUE(exists(dir / "dev/screens/001.png")) << run.output;
    EXPECT_FALSE(exists(dir / "dev/screens/002.png")) << run.output;
    const auto before = read_png(dir / "dev/screens/000.png");
    const auto after = read_png(dir / "dev/screens/001.png");
    ASSERT_EQ(after.width, c.width);
    ASSERT_EQ(after.height, c.height);
    EXPECT_FALSE(shows_digits(before, c.x, c.y, "0200"));
    EXPECT_TRUE(shows_digits(after, c.x, c.y, "0200"));
    EXPECT_FALSE(shows_digits(after, c.x + 1, c.y, "0200"));
}

INSTANTIATE_TEST_SUITE_P(Panels, BootFailureScreen,
                         testing::Values(FailureCase{"small", "600x800", 600, 800, 272, 760},
                                         FailureCase{"large", "824x1200", 824, 1200, 384, 840}),
                         test::ParamName());

// The battery lock-out on a reader without a console: its owner sees on
// the panel why it does not start and what to do. The picture sits centred
// on the panel, the rest is paper; once the battery has charge the boot
// goes on. Before, the panel was never started and kept what it showed.
struct LockoutCase {
    const char* name;
    const char* panel;
    unsigned width, height;
};

class BatteryLockoutScreen : public testing::TestWithParam<LockoutCase> {};

TEST_P(BatteryLockoutScreen, ShowsTheEmptyBatteryPictureCentred) {
    const auto& c = GetParam();
    test::TempDir dir;
    test::init_device(dir / "dev", {"--panel", c.panel, "--battery", "0"});
    test::write_file(dir / "script", "25 battery 3\n");
    const auto run = test::run_sim({"boot", dir / "dev", "--script", dir / "script"});
    EXPECT_TRUE(run.contains("=== BATTERY HAS SUFFICIENT CHARGE (3%) ===")) << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << run.output;

    ASSERT_TRUE(exists(dir / "dev/screens/000.png")) << run.output;
    const auto shot = read_png(dir / "dev/screens/000.png");
    ASSERT_EQ(shot.width, c.width);
    ASSERT_EQ(shot.height, c.height);
    install_host_kernel();
    qm::egl_image picture;
    ASSERT_EQ(qm::egl_load_memory("ss_battery_empty", &picture, qm::ss_battery_empty, qm::ss_battery_empty_len, 0), 1);
    const unsigned left = (c.width - 600) / 2, top = (c.height - 800) / 2;
    size_t wrong = 0, ink = 0;
    for (unsigned y = 0; y < c.height; ++y) {
        for (unsigned x = 0; x < c.width; ++x) {
            const bool inside = x >= left && x < left + 600 && y >= top && y < top + 800;
            const unsigned level =
                inside ? qm::egl_getpixel(&picture, static_cast<int>(x - left), static_cast<int>(y - top)) : 0;
            if (shot.at(x, y) != picture::ink_to_gray(level, 2)) ++wrong;
            if (level != 0) ++ink;
        }
    }
    qm::egl_destroy(&picture);
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(ink, 10000u) << "a picture, not blank paper";
}

INSTANTIATE_TEST_SUITE_P(Panels, BatteryLockoutScreen,
                         testing::Values(LockoutCase {"small", "600x800", 600, 800},
                                         LockoutCase {"large", "824x1200", 824, 1200}),
                         test::ParamName());

TEST(DisplayScenario, ScreensAreNumberedOnAcrossBoots) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    ASSERT_EQ(std::remove((dir / "dev/mmc0.img").c_str()), 0);
    test::run_sim({"boot", dir / "dev"});
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_EQ(run.last_line(), "SIM: power-off") << run.output;
    EXPECT_TRUE(exists(dir / "dev/screens/003.png"));
    EXPECT_FALSE(exists(dir / "dev/screens/004.png"));
}

// A device made with --screens none writes no pictures; the program sees the
// same panel and prints the same lines (only the kernel's messages, which it
// dumps, say that nothing was recorded).
TEST(DisplayScenario, ScreensNoneRecordsNoPictureAndChangesNothingElse) {
    test::TempDir dir;
    test::init_device(dir / "pictures");
    test::init_device(dir / "none", {"--screens", "none"});
    ASSERT_EQ(std::remove((dir / "pictures/mmc0.img").c_str()), 0);
    ASSERT_EQ(std::remove((dir / "none/mmc0.img").c_str()), 0);
    const auto with = test::run_sim({"boot", dir / "pictures"});
    const auto without = test::run_sim({"boot", dir / "none"});
    EXPECT_EQ(without.last_line(), "SIM: power-off") << without.output;
    const auto program_lines = [](const std::string& output) { return output.substr(0, output.find("=== kernel")); };
    EXPECT_EQ(program_lines(without.output), program_lines(with.output));
    EXPECT_TRUE(without.contains("eink_fb: built-in screen 25 (not recorded)\n")) << without.output;
    EXPECT_TRUE(exists(dir / "pictures/screens/001.png"));
    EXPECT_FALSE(exists(dir / "none/screens"));
    EXPECT_NE(test::run_sim({"init", dir / "bad", "--screens", "some"}).exit_code, 0);
}

TEST(DisplayScenario, QuietBootNeverStartsThePanel) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    const auto run = test::run_sim({"boot", dir / "dev"});
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << run.output;
    EXPECT_FALSE(exists(dir / "dev/screens"));
}

TEST(DisplayScenario, PanelSizeMustBeWidthByHeight) {
    test::TempDir dir;
    for (const char* bad : {"600", "600x", "0x800", "600x800x4", "5000x800"}) {
        const auto run = test::run_sim({"init", dir / "dev", "--panel", bad});
        EXPECT_EQ(run.exit_code, 2) << bad;
        EXPECT_TRUE(run.contains("panel size")) << run.output;
    }
}

// ---------------------------------------------------------- the converter

struct ToolRun {
    int status;
    std::string output;
};

ToolRun qmpicture(const std::string& args, const test::TempDir& dir) {
    const std::string log = dir / "qmpicture.log";
    const std::string command = std::string(QM_BIN_DIR) + "/qmpicture " + args + " >" + log + " 2>&1";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, test::read_file(log)};
}

// A picture with every grey of the four levels and odd sizes, so the last
// byte of each row is only partly used.
picture::GrayImage sample(uint32_t width, uint32_t height) {
    picture::GrayImage image;
    image.width = width;
    image.height = height;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) image.pixels.push_back(static_cast<uint8_t>(((x * 7 + y * 3) % 4) * 85));
    return image;
}

struct ToolCase {
    const char* name;
    const char* encode_options;
    const char* decode_options;
    unsigned bpp;
};

class PictureTool : public testing::TestWithParam<ToolCase> {};

TEST_P(PictureTool, DecodeGivesBackWhatEncodeWasGiven) {
    const auto& c = GetParam();
    test::TempDir dir;
    const auto original = sample(13, 5);
    std::string error;
    ASSERT_TRUE(picture::write_png(dir / "in.png", original, error)) << error;
    auto run = qmpicture(std::string("encode ") + c.encode_options + " " + (dir / "in.png") + " " + (dir / "pic"), dir);
    ASSERT_EQ(run.status, 0) << run.output;
    run = qmpicture(std::string("decode ") + c.decode_options + " " + (dir / "pic") + " " + (dir / "out.png"), dir);
    ASSERT_EQ(run.status, 0) << run.output;
    const auto decoded = read_png(dir / "out.png");
    ASSERT_EQ(decoded.width, 13u);
    ASSERT_EQ(decoded.height, 5u);
    for (size_t i = 0; i < decoded.pixels.size(); ++i) {
        const unsigned level = picture::gray_to_ink(original.pixels[i], c.bpp);
        ASSERT_EQ(decoded.pixels[i], picture::ink_to_gray(level, c.bpp)) << "pixel " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, PictureTool,
                         testing::Values(ToolCase{"default", "", "", 2}, ToolCase{"bpp1", "--bpp 1", "", 1},
                                         ToolCase{"bpp4", "--bpp 4", "", 4}, ToolCase{"bpp8", "--bpp 8", "", 8},
                                         ToolCase{"padded_16", "--padding 16", "--padding 16", 2},
                                         ToolCase{"padded_32_big_endian", "--padding 32 --big-endian",
                                                  "--big-endian --padding 32", 2}),
                         test::ParamName());

TEST(PictureToolErrors, RefusesWhatItCannotRead) {
    test::TempDir dir;
    test::write_file(dir / "junk", std::string(100, 'x'));
    auto run = qmpicture("decode " + (dir / "junk") + " " + (dir / "out.png"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("ERROR:picture:incorrect header check (zerr=-3)"), std::string::npos) << run.output;
    EXPECT_FALSE(exists(dir / "out.png"));

    run = qmpicture("encode " + (dir / "junk") + " " + (dir / "pic"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("cannot read"), std::string::npos) << run.output;

    std::string error;
    ASSERT_TRUE(picture::write_png(dir / "in.png", sample(3, 3), error)) << error;
    run = qmpicture("encode --padding 12 " + (dir / "in.png") + " " + (dir / "pic"), dir);
    EXPECT_EQ(run.status, 1);
    run = qmpicture("encode --bpp 3 " + (dir / "in.png") + " " + (dir / "pic"), dir);
    EXPECT_EQ(run.status, 1);
    EXPECT_FALSE(exists(dir / "pic"));
}

TEST(PictureToolErrors, EmbedWritesArraysWithTheirLengths) {
    test::TempDir dir;
    test::write_file(dir / "a.bin", std::string("\x01\x02\xff", 3));
    auto run = qmpicture("embed " + (dir / "out.cpp") + " tiny=" + (dir / "a.bin"), dir);
    ASSERT_EQ(run.status, 0) << run.output;
    const std::string text = test::read_file(dir / "out.cpp");
    EXPECT_NE(text.find("extern const uint8_t tiny[] = {\n    1, 2, 255,\n};"), std::string::npos) << text;
    EXPECT_NE(text.find("extern const size_t tiny_len = 3;"), std::string::npos) << text;
    run = qmpicture("embed " + (dir / "out.cpp") + " 9bad=" + (dir / "a.bin"), dir);
    EXPECT_EQ(run.status, 1);
}

// Input the tool cannot use, and an output that cannot be written whole:
// one line, status 1, and no output file left behind.
struct BadRunCase {
    const char* name;
    std::string args;  // "DIR" stands for the test directory, "OUT" for the output
    const char* line;
    std::string shell = "";  // commands run in the tool's shell first
};

class PictureToolRefuses : public testing::TestWithParam<BadRunCase> {};

TEST_P(PictureToolRefuses, WithOneLineAndNoOutputFile) {
    const BadRunCase& c = GetParam();
    test::TempDir dir;
    ::mkdir((dir / "folder").c_str(), 0755);
    test::write_file(dir / "a.bin", std::string(200000, '\x07'));
    const auto expand = [&](std::string text) {
        for (const auto& [from, to] : {std::pair<std::string, std::string>{"DIR", dir.path()}, {"OUT", dir / "out"}})
            for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
        return text;
    };
    const std::string args = expand(c.args);
    const std::string log = dir / "qmpicture.log";
    const std::string command = "(" + c.shell + std::string(QM_BIN_DIR) + "/qmpicture " + args + ") >" + log + " 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status)) << "killed by a signal: " << test::read_file(log);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(test::read_file(log), "qmpicture: " + expand(c.line) + "\n");
    EXPECT_FALSE(exists(dir / "out"));
    size_t left = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        left += entry.path().filename().string().rfind("out", 0) == 0 ? 1 : 0;
    EXPECT_EQ(left, 0u) << "no temporary output either";
}

INSTANTIATE_TEST_SUITE_P(
    Runs, PictureToolRefuses,
    testing::Values(BadRunCase{"decode_a_directory", "decode DIR/folder OUT", "cannot read DIR/folder: not a regular file"},
                    BadRunCase{"embed_a_directory", "embed OUT a=DIR/folder",
                               "cannot read DIR/folder: not a regular file"},
                    // Both would define the same array, which does not compile.
                    BadRunCase{"embed_one_name_twice", "embed OUT a=DIR/a.bin a=DIR/a.bin", "the name a is used twice"},
                    BadRunCase{"embed_a_name_and_its_length", "embed OUT a=DIR/a.bin a_len=DIR/a.bin",
                               "the name a_len is used twice"},
                    // The disk fills up (a file size limit) while the output is written.
                    BadRunCase{"embed_on_a_full_disk", "embed OUT a=DIR/a.bin", "cannot write OUT: File too large",
                               "trap '' XFSZ; ulimit -f 64; "}),
    test::ParamName());

}  // namespace

namespace {

// ENTER at the prompt opens the developer menu, which shows picture 0 on
// the panel: one of the screens written must be that picture exactly, as
// drawn in assets/ (four greys, which the panel keeps unchanged).
TEST(DisplayScenario, DeveloperMenuShowsPictureZeroPixelForPixel) {
    test::TempDir dir;
    test::init_device(dir / "dev");
    const auto run = test::run_sim({"boot", dir / "dev"}, "\nq\n");
    ASSERT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag untouched)") << run.output;
    const auto expected = read_png(std::string(QM_SOURCE_DIR) + "/assets/ss_recovery.png");
    ASSERT_EQ(expected.width, 600u);
    bool shown = false;
    char name[32];
    for (int shot = 0; !shown; ++shot) {
        std::snprintf(name, sizeof name, "dev/screens/%03d.png", shot);
        if (!exists(dir / name)) break;
        const auto screen = read_png(dir / name);
        shown = screen.width == expected.width && screen.height == expected.height &&
                screen.pixels == expected.pixels;
    }
    EXPECT_TRUE(shown) << "no screen showed picture 0 exactly";
}

}  // namespace

namespace {

// The erase check shows the notice and draws each correctly typed letter
// as a 32 x 32 sprite in the notice's white field; a wrong letter redraws
// the notice and so clears them.
struct SpriteCase {
    const char* name;
    const char* panel;
    unsigned x0, y;  // where the first letter goes; each next one 40 to the right
};

class EraseCheckSprites : public testing::TestWithParam<SpriteCase> {};

// Whether the 32 x 32 box at (x, y) differs between two panel pictures.
bool box_differs(const picture::GrayImage& a, const picture::GrayImage& b, unsigned x, unsigned y) {
    for (unsigned j = 0; j < 32; ++j)
        for (unsigned i = 0; i < 32; ++i)
            if (a.at(x + i, y + j) != b.at(x + i, y + j)) return true;
    return false;
}

TEST_P(EraseCheckSprites, TypedLettersSitInTheFieldAndAWrongOneClearsThem) {
    const SpriteCase& c = GetParam();
    test::TempDir dir;
    const auto run = test::boot_with_script(dir, "0.2 console\n4 console J\n5 console r\n6 console e\n7 console s\n"
                                                 "8 console x\n9 console \\r\n10 console q\n",
                                            {"--panel", c.panel});
    ASSERT_NE(run.find("INFO:Erase check returned 0\n"), std::string::npos) << run.output;
    // Shown in order: the menu picture, the notice, one screen per letter
    // (r, e, s), the notice again after the wrong x, the menu picture.
    std::vector<picture::GrayImage> shots;
    for (int n = 0; n < 7; ++n) {
        const std::string path = dir / ("dev/screens/00" + std::to_string(n) + ".png");
        ASSERT_TRUE(exists(path)) << run.output;
        shots.push_back(read_png(path));
    }
    const picture::GrayImage& notice = shots[1];
    for (unsigned typed = 1; typed <= 3; ++typed)
        for (unsigned p = 0; p < 5; ++p)
            EXPECT_EQ(box_differs(shots[1 + typed], notice, c.x0 + 40 * p, c.y), p < typed)
                << typed << " letters typed, position " << p;
    for (unsigned p = 0; p < 5; ++p)
        EXPECT_FALSE(box_differs(shots[5], notice, c.x0 + 40 * p, c.y)) << "the wrong x redraws the notice";
    EXPECT_TRUE(box_differs(shots[1], shots[0], c.x0, c.y)) << "the notice is another picture than the menu's";
}

INSTANTIATE_TEST_SUITE_P(Panels, EraseCheckSprites,
                         testing::Values(SpriteCase{"panel_600x800", "600x800", 204, 246},
                                         SpriteCase{"panel_824x1200", "824x1200", 316, 390}),
                         test::ParamName());

}  // namespace

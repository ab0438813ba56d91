#include "input/erasecheck.h"

#include <gtest/gtest.h>

#include "support/console_kernel.h"
#include "support/param_name.h"

namespace {

struct PanelCase {
    const char* name;
    unsigned xres, yres;
    int letter;
    int x, y;
    bool warns;
};

class SpritePosition : public testing::TestWithParam<PanelCase> {};

TEST_P(SpritePosition, LetterSitsInTheWhiteField) {
    const PanelCase& c = GetParam();
    test::ConsoleKernel device;
    int x = -1, y = -1;
    qm::erasecheck_sprite_position(c.xres, c.yres, c.letter, &x, &y);
    EXPECT_EQ(x, c.x);
    EXPECT_EQ(y, c.y);
    EXPECT_EQ(device.console(), c.warns ? "WARNING:Defaulting to using 600x800 screens.\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Panels, SpritePosition,
    testing::Values(PanelCase{"small_first", 600, 800, 0, 204, 246, false},
                    PanelCase{"small_fifth", 600, 800, 4, 364, 246, false},
                    PanelCase{"large_first", 824, 1200, 0, 316, 390, false},
                    PanelCase{"large_fifth", 824, 1200, 4, 476, 390, false},
                    PanelCase{"between_sizes", 758, 1024, 1, 356, 390, false},
                    PanelCase{"wide_but_short", 700, 600, 2, 396, 390, false},
                    PanelCase{"larger_than_both", 1072, 1448, 2, 284, 246, true},
                    PanelCase{"unknown_panel", 0, 0, 3, 324, 246, false}),
    test::ParamName());

TEST(PatternPosition, CentredOnThePanel) {
    int x = -1, y = -1;
    qm::erasecheck_pattern_position(600, 800, &x, &y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    qm::erasecheck_pattern_position(824, 1200, &x, &y);
    EXPECT_EQ(x, 112);
    EXPECT_EQ(y, 200);
}

}  // namespace

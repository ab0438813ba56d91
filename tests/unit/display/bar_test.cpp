#include <gtest/gtest.h>

#include <string>

#include "display/bar.h"
#include "display/eink.h"
#include "display/hexdump.h"
#include "sim/dev/fb.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

struct BarCase {
    const char* name;
    unsigned width;
    uint32_t current;
    uint32_t total;
    const char* text;
};

class TextBar : public testing::TestWithParam<BarCase> {};

TEST_P(TextBar, FillsCellsUpToTheAmount) {
    const auto& c = GetParam();
    test::SimDevice device;
    qm::draw_bar_text(c.width, c.current, c.total);
    EXPECT_EQ(device.console(), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, TextBar,
    testing::Values(
        BarCase{"erase_start", 20, 0, 1000, "[::::::::::::::::::]"},
        BarCase{"erase_half_cell_on_the_amount", 20, 500, 1000, "[##########::::::::]"},
        BarCase{"erase_just_below_half", 20, 499, 1000, "[#########:::::::::]"},
        BarCase{"erase_done", 20, 1000, 1000, "[##################]"},
        BarCase{"files_quarter", 40, 25, 100, "[##########::::::::::::::::::::::::::::]"},
        BarCase{"files_nothing_to_do", 40, 0, 0, "[######################################]"},
        BarCase{"charge_full", 60, 100, 100, "[##########################################################]"},
        BarCase{"charge_empty", 60, 0, 100, "[::::::::::::::::::::::::::::::::::::::::::::::::::::::::::]"},
        // Byte counts past 4 GiB / 32 cells must not overflow the thresholds.
        BarCase{"large_totals", 20, 0xC0000000u, 0xFFFFFFFFu, "[##############::::]"}),
    test::ParamName());

// The bar that draw_bar sends to the panel, on a device whose panel is up.
class PanelBar : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(qm::eink_init(), 1) << device.console();
        device.take_console();
    }
    void TearDown() override { qm::eink_shutdown(); }
    sim::Panel& panel() { return device.kernel().panel(); }

    test::SimDevice device;
};

TEST_F(PanelBar, DrawBarSendsTheScaledPercentage) {
    const struct {
        uint32_t current, total;
        unsigned percent;
    } cases[] = {{50, 100, 49}, {100, 100, 100}, {5, 0, 100}, {0, 100, 0}, {1, 3, 33},
                 {0xFFFFFFFEu, 0xFFFFFFFFu, 98}, {150, 100, 100}};
    for (const auto& c : cases) {
        qm::draw_bar(40, c.current, c.total);
        EXPECT_TRUE(panel().bar_shown());
        EXPECT_EQ(panel().bar_percent(), c.percent) << c.current << "/" << c.total;
    }
    device.take_console();
    qm::clear_bar();
    EXPECT_FALSE(panel().bar_shown());
    EXPECT_EQ(device.console(), "\n");
}

TEST(Bar, ConsoleOnlyWhenThePanelIsClosed) {
    test::SimDevice device;
    qm::draw_bar(20, 1, 2);
    qm::clear_bar();
    qm::clear_bar_text();
    EXPECT_EQ(device.console(), "[#########:::::::::]\n\n");
}

// ---------------------------------------------------------------- hexdump

TEST(Hexdump, LastLineIsPaddedToTheTextColumn) {
    test::SimDevice device;
    std::string bytes = "0123456789abcdef";
    bytes += std::string("\x00\x7f\x20~", 4);
    qm::hexdump_state state;
    ASSERT_EQ(qm::hexdump_start(&state, 0), &state);
    qm::hexdump_data(&state, bytes.data(), bytes.size());
    qm::hexdump_end(&state);
    EXPECT_EQ(device.console(),
              "0000000: 3031 3233 3435 3637 3839 6162 6364 6566  0123456789abcdef\n"
              "0000010: 007f 207e                                .. ~\n");
}

TEST(Hexdump, PiecesOfAnySizeGiveTheSameDump) {
    std::string data;
    for (int i = 0; i < 45; ++i) data += static_cast<char>(i * 7);
    std::string whole;
    {
        test::SimDevice device;
        qm::hexdump_state state;
        qm::hexdump_data(qm::hexdump_start(&state, 0x1234560), data.data(), data.size());
        qm::hexdump_end(&state);
        whole = device.console();
    }
    EXPECT_EQ(whole.substr(0, 8), "1234560:");
    EXPECT_NE(whole.find("\n1234580: "), std::string::npos) << whole;
    for (const size_t piece : {1u, 3u, 16u, 17u}) {
        test::SimDevice device;
        qm::hexdump_state state;
        qm::hexdump_start(&state, 0x1234560);
        for (size_t at = 0; at < data.size(); at += piece)
            qm::hexdump_data(&state, data.data() + at, std::min(piece, data.size() - at));
        qm::hexdump_end(&state);
        EXPECT_EQ(device.console(), whole) << "pieces of " << piece;
    }
}

TEST(Hexdump, OddLastLineAndSwitchedOffDump) {
    test::SimDevice device;
    qm::hexdump_state state;
    qm::hexdump_start(&state, 16);
    qm::hexdump_data(&state, "ABC", 3);
    qm::hexdump_end(&state);
    // After the end the dump is off: more data and another end print nothing.
    qm::hexdump_data(&state, "DEF", 3);
    qm::hexdump_end(&state);
    qm::hexdump_data(nullptr, "x", 1);
    qm::hexdump_data(&state, nullptr, 1);
    EXPECT_EQ(qm::hexdump_start(nullptr, 0), nullptr);
    EXPECT_EQ(device.console(), "0000010: 4142 43                                  ABC\n");

    qm::hexdump_start(&state, 0);
    qm::hexdump_end(&state);  // an empty line buffer prints nothing
    EXPECT_EQ(device.console(), "0000010: 4142 43                                  ABC\n");
}

}  // namespace

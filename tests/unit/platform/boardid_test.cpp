#include "platform/boardid.h"

#include <gtest/gtest.h>

#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

struct BoardCase {
    const char* name;
    std::string file;  // contents of /proc/board_id
    std::string stored;
    bool orvik, morvek_ww, morvek_family, orvik_platform, selda_platform, pellan, devboard;
    int64_t offset;
};

class BoardIdentity : public testing::TestWithParam<BoardCase> {};

TEST_P(BoardIdentity, PredicatesFollowTheFirstCharacter) {
    const BoardCase& c = GetParam();
    test::SimDevice device;
    test::write_file(device.host("proc/board_id"), c.file);
    device.kernel().mount("proc", "/proc", "proc", 0, "");
    (void)qm::boardid_init();
    EXPECT_EQ(qm::boardid_get(), c.stored);
    EXPECT_EQ(qm::is_orvik(), c.orvik);
    EXPECT_EQ(qm::is_morvek_world_wide(), c.morvek_ww);
    EXPECT_EQ(qm::is_morvek_family(), c.morvek_family);
    EXPECT_EQ(qm::is_orvik_platform(), c.orvik_platform);
    EXPECT_EQ(qm::is_selda_platform(), c.selda_platform);
    EXPECT_EQ(qm::is_pellan(), c.pellan);
    EXPECT_EQ(qm::is_devboard(), c.devboard);
    EXPECT_EQ(qm::g_offset_mmc, c.offset);
}

INSTANTIATE_TEST_SUITE_P(
    Boards, BoardIdentity,
    testing::Values(
        BoardCase{"lower_d_with_line_feed", "d123\n", "d123", true, false, false, true, false, false, true, 0x400},
        BoardCase{"lower_j", "j00", "j00", false, true, true, true, false, false, false, 0x400},
        BoardCase{"pellan", "P1A", "P1A", false, false, false, false, true, true, false, 0x3C1000},
        BoardCase{"selda_devboard", "K9", "K9", false, false, false, false, true, false, true, 0x3C1000},
        BoardCase{"cut_to_19", "PABCDEFGHIJKLMNOPQRSTUVWX", "PABCDEFGHIJKLMNOPQR", false, false, false, false,
                  true, true, false, 0x3C1000},
        BoardCase{"tab_discards_all", "P1\tA", "", false, false, false, false, false, false, false, 0x400},
        BoardCase{"high_byte_discards_all", "P1\x7f", "", false, false, false, false, false, false, false, 0x400},
        BoardCase{"unknown_letter", "Z12", "Z12", false, false, false, false, false, false, false, 0x400},
        BoardCase{"line_feed_only_fails_check", "\n", "", false, false, false, false, false, false, false, 0x400}),
    test::ParamName());

TEST(BoardIdentity, SerialNumberLosesLineEndAndIsCutTo19) {
    test::SimDevice device;
    device.kernel().mount("proc", "/proc", "proc", 0, "");
    test::write_file(device.host("proc/usid"), "0123456789ABCDEFGHIJ\n");
    EXPECT_EQ(qm::boardid_init(), 1);
    EXPECT_STREQ(qm::serialnumber_get(), "0123456789ABCDEFGHI");
    test::write_file(device.host("proc/usid"), "SN42\n");
    (void)qm::boardid_init();
    EXPECT_STREQ(qm::serialnumber_get(), "SN42");
}

TEST(BoardIdentity, MissingIdentifierSkipsTheSerialFile) {
    test::SimDevice device;  // /proc not mounted: nothing can be read
    EXPECT_EQ(qm::boardid_init(), 0);
    EXPECT_STREQ(qm::boardid_get(), "");
    EXPECT_STREQ(qm::serialnumber_get(), "");
    EXPECT_EQ(qm::g_offset_mmc, 0x400);
    const std::string console = device.console();
    EXPECT_NE(console.find("ERROR:/proc/board_id:No such file or directory(2)\n"), std::string::npos);
    EXPECT_EQ(console.find("/proc/usid"), std::string::npos);
}

TEST(BoardIdentity, ZeroSizedDestinationIsRefused) {
    test::SimDevice device;
    char buffer[1];
    EXPECT_EQ(qm::get_string_from_file("/proc/usid", buffer, 0), 0);
    EXPECT_EQ(device.console(), "ERROR:/proc/usid:destination too short\n");
}

}  // namespace

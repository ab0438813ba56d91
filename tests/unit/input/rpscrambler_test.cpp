#include "input/rpscrambler.h"

#include <gtest/gtest.h>

#include "boot/process_state.h"

#include "platform/boardid.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

// Independently computed: the fixed part, then hex digits 2 to 5 of MD5
// bytes 3 to 5 of the identifier and a line feed.
constexpr const char* default_password = "qLm4r5561";
constexpr const char* sample_serial = "B0A1C2D3E4F50001";
constexpr const char* sample_password = "qLm4re446";

struct SizeCase {
    const char* name;
    size_t size;
    const char* expected;
};

class PasswordSize : public testing::TestWithParam<SizeCase> {};

TEST_P(PasswordSize, CutToTheBuffer) {
    char out[32];
    std::fill(std::begin(out), std::end(out), '#');
    qm::rpscramble_gen(sample_serial, GetParam().size, out);
    EXPECT_STREQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, PasswordSize,
                         testing::Values(SizeCase{"one", 1, ""}, SizeCase{"five", 5, "qLm4"},
                                         SizeCase{"six", 6, "qLm4r"}, SizeCase{"nine", 9, "qLm4re44"},
                                         SizeCase{"ten", 10, sample_password},
                                         SizeCase{"sixteen", 16, sample_password}),
                         test::ParamName());

TEST(Password, NothingWrittenForSizeZero) {
    char out[4] = "abc";
    qm::rpscramble_gen(sample_serial, 0, out);
    EXPECT_STREQ(out, "abc");
    qm::rpscramble_gen(sample_serial, 4, nullptr);
}

TEST(Password, EmptyOrMissingIdentifierUsesTheDefault) {
    char a[16], b[16];
    qm::rpscramble_gen("", sizeof a, a);
    qm::rpscramble_gen(nullptr, sizeof b, b);
    EXPECT_STREQ(a, default_password);
    EXPECT_STREQ(b, default_password);
}

class DevicePassword : public testing::Test {
protected:
    DevicePassword() { device_.kernel().mount("proc", "/proc", "proc", 0, ""); }
    ~DevicePassword() override { qm::process_state_reset(); }
    test::SimDevice device_;
};

TEST_F(DevicePassword, MatchesOnlyTheExactText) {
    (void)qm::boardid_init();
    EXPECT_EQ(qm::rpscramble_check(sample_password), 1);
    EXPECT_EQ(qm::rpscramble_check("QLM4RE446"), 0);
    EXPECT_EQ(qm::rpscramble_check("qLm4re446\r"), 0);
    EXPECT_EQ(qm::rpscramble_check("qLm4re44"), 0);
    EXPECT_EQ(qm::rpscramble_check(nullptr), 0);
    EXPECT_EQ(qm::rpscramble_check(default_password), 0);
}

TEST_F(DevicePassword, EmptyAndUnreadableSerialGiveTheDefault) {
    test::write_file(device_.host("proc/usid"), "\n");
    (void)qm::boardid_init();
    EXPECT_EQ(qm::rpscramble_check(default_password), 1);
    std::remove(device_.host("proc/usid").c_str());
    (void)qm::boardid_init();
    EXPECT_EQ(qm::rpscramble_check(default_password), 1);
}

TEST_F(DevicePassword, AskedOnTheConsole) {
    (void)qm::boardid_init();
    device_.take_console();
    device_.kernel().console().type_line(sample_password);
    EXPECT_EQ(qm::check_pass(), 1);
    EXPECT_EQ(device_.take_console(), "PASSWORD: ");
    device_.kernel().console().type_line(std::string(sample_password) + "\r");
    EXPECT_EQ(qm::check_pass(), 0);
    device_.kernel().console().type_line("wrong");
    EXPECT_EQ(qm::check_pass(), 0);
}

TEST_F(DevicePassword, OverlongLineIsDroppedWhole) {
    (void)qm::boardid_init();
    device_.kernel().console().type_line(std::string(600, 'q'));
    device_.kernel().console().type_line("next");
    EXPECT_EQ(qm::check_pass(), 0);
    char line[8] = {};
    EXPECT_EQ(device_.kernel().read(0, line, sizeof line - 1), 5);
    EXPECT_STREQ(line, "next\n");
}

}  // namespace

#include "storage/module.h"

#include <gtest/gtest.h>

#include "sim/modules.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

TEST(InstallModule, LoadsAndReportsSizeAndArguments) {
    test::SimDevice device;
    const auto size = sim::module_file_text("fiveway").size();
    EXPECT_EQ(qm::install_module("/lib/modules/fiveway.ko", "debounce=10"), 1);
    EXPECT_TRUE(device.kernel().modules().loaded("fiveway"));
    EXPECT_EQ(device.kernel().modules().all().at("fiveway"), "debounce=10");
    EXPECT_EQ(device.console(),
              "INFO:Loaded module /lib/modules/fiveway.ko debounce=10 (" + std::to_string(size) + " bytes)\n");
}

TEST(InstallModule, NullArgumentsLoadWithTheEmptyString) {
    test::SimDevice device;
    EXPECT_EQ(qm::install_module("/lib/modules/charger.ko", nullptr), 1);
    EXPECT_EQ(device.kernel().modules().all().at("charger"), "");
    EXPECT_NE(device.console().find("INFO:Loaded module /lib/modules/charger.ko  ("), std::string::npos);
}

TEST(InstallModule, ShortReadsStillLoadTheWholeFile) {
    test::SimDevice device;
    std::string error;
    device.kernel().faults().add(*sim::parse_fault("short-read:/lib/modules/g_ether.ko:3", error));
    EXPECT_EQ(qm::install_module("/lib/modules/g_ether.ko", ""), 1);
    EXPECT_TRUE(device.kernel().modules().loaded("g_ether"));
}

struct FailureCase {
    const char* name;
    std::string file;  // contents, or "" for a file that does not exist
    bool exists;
    bool load_first;
    std::string first_line;
};

class InstallModuleFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(InstallModuleFailure, ReportsTheReasonThenTheClosingMessage) {
    const FailureCase& c = GetParam();
    test::SimDevice device;
    const std::string path = "/lib/modules/test.ko";
    if (c.exists) test::write_file(device.host("lib/modules/test.ko"), c.file);
    if (c.load_first) {
        ASSERT_EQ(qm::install_module(path.c_str(), "a=1"), 1);
    }
    device.take_console();
    EXPECT_EQ(qm::install_module(path.c_str(), "a=1"), 0);
    EXPECT_EQ(device.console(), c.first_line + "ERROR:Could not load module /lib/modules/test.ko a=1\n");
}

INSTANTIATE_TEST_SUITE_P(
    Failures, InstallModuleFailure,
    testing::Values(
        FailureCase{"missing_file", "", false, false,
                    "ERROR:/lib/modules/test.ko:No such file or directory(2)\n"},
        FailureCase{"empty_file", "", true, false, "ERROR:/lib/modules/test.ko:Module file reported as 0 bytes\n"},
        FailureCase{"invalid_format", "\x7f" "ELF garbage", true, false,
                    "ERROR:/lib/modules/test.ko:Invalid module format(8)\n"},
        FailureCase{"loaded_twice_uses_system_text", sim::module_file_text("test"), true, true,
                    "ERROR:/lib/modules/test.ko:File exists(17)\n"}),
    test::ParamName());

struct NameCase {
    const char* name;
    const char* path;
    const char* module;
};

class ModuleName : public testing::TestWithParam<NameCase> {};

TEST_P(ModuleName, IsTheBaseNameCutAtTheFirstKo) { EXPECT_STREQ(qm::modname(GetParam().path), GetParam().module); }

INSTANTIATE_TEST_SUITE_P(Names, ModuleName,
                         testing::Values(NameCase{"full_path", "/lib/modules/g_ether.ko", "g_ether"},
                                         NameCase{"no_slash_no_ko", "plainname", "plainname"},
                                         NameCase{"ko_in_the_middle", "/x/a.kob.ko", "a"},
                                         NameCase{"slash_at_end", "/lib/modules/", ""}),
                         test::ParamName());

}  // namespace

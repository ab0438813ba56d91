// Every program of the host package answers --help and --version.
#include <gtest/gtest.h>

#include <string>

#include "support/host_tools.h"

namespace {

struct Tool {
    const char* name;
};

class ToolOptions : public testing::TestWithParam<Tool> {};

TEST_P(ToolOptions, HelpAndVersion) {
    const std::string program = std::string(QM_BIN_DIR) + "/" + GetParam().name;
    const test::ToolRun help = test::run_tool(program + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.output.starts_with("usage:")) << help.output;
    const test::ToolRun version = test::run_tool(program + " --version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, std::string(GetParam().name) + " (quillmar) " + QM_VERSION + "\n");
}

INSTANTIATE_TEST_SUITE_P(Programs, ToolOptions,
                         testing::Values(Tool{"mkbundle"}, Tool{"ckimage"}, Tool{"qmpicture"}, Tool{"quillmar-sim"}),
                         [](const testing::TestParamInfo<Tool>& param) {
                             std::string name = param.param.name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace

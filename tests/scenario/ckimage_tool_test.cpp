// The ckimage host tool, run as a person would run it.
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/param_name.h"
#include "support/testdir.h"
#include "support/pattern.h"

namespace {

const std::string tool = std::string(QM_BIN_DIR) + "/ckimage";

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and error together
};

ToolRun run(const std::string& arguments) {
    ToolRun r;
    FILE* pipe = ::popen((tool + " " + arguments + " 2>&1").c_str(), "r");
    if (!pipe) return r;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) r.output.append(buffer, n);
    const int wait_status = ::pclose(pipe);
    r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    return r;
}

using test::pattern;

uint32_t le32(const std::string& b, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class CkimageTool : public testing::Test {
protected:
    void SetUp() override {
        test::write_file(dir / "payload", pattern(70'000, 1));
        const std::string command = "mkimage -A arm -O linux -T kernel -C none -a 0x70008000 -e 0x70008000 -n k -d '" +
                                    (dir / "payload") + "' '" + (dir / "uImage") + "' >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        test::write_file(dir / "loader.raw", pattern(30'000, 2));
    }
    std::string path(const char* name) const { return "'" + (dir / name) + "'"; }

    test::TempDir dir;
};

TEST_F(CkimageTool, MadeBootLoaderPassesAndCarriesAnIndependentlyCheckedCrc) {
    const ToolRun made = run("--make-bootloader -n 'loader 1.2' " + path("loader.raw") + " " + path("loader.img"));
    EXPECT_EQ(made.status, 0) << made.output;
    const std::string raw = test::read_file(dir / "loader.raw");
    std::string image = test::read_file(dir / "loader.img");
    ASSERT_EQ(image.size(), raw.size());
    EXPECT_TRUE(image.substr(0, 32) == raw.substr(0, 32) && image.substr(92) == raw.substr(92));
    EXPECT_EQ(le32(image, 32), 30'000u);
    EXPECT_EQ(image.substr(40, 4), "BMGK");
    EXPECT_EQ(image.substr(44, 11), std::string("loader 1.2\0", 11));
    const uint32_t stored = le32(image, 36);
    std::memset(&image[36], 0, 4);
    EXPECT_EQ(stored, crc32(0, reinterpret_cast<const Bytef*>(image.data()), static_cast<uInt>(image.size())));
    char line[200];
    std::snprintf(line, sizeof line, "%s: boot loader of 30000 bytes, crc %#x\n", (dir / "loader.img").c_str(), stored);
    EXPECT_EQ(made.output, line);

    const ToolRun checked = run(path("loader.img") + " " + path("uImage"));
    EXPECT_EQ(checked.status, 0) << checked.output;
    EXPECT_EQ(checked.output, "u-boot OK : " + (dir / "loader.img") + "\nuImage OK : " + (dir / "uImage") + "\n");
}

TEST_F(CkimageTool, OneDamagedFileFailsTheRunButEveryFileIsChecked) {
    std::string kernel = test::read_file(dir / "uImage");
    kernel[64 + 12'345] ^= 0x40;
    test::write_file(dir / "bad", kernel);
    const ToolRun r = run("-f " + path("bad") + " " + path("missing") + " " + path("uImage"));
    EXPECT_EQ(r.status, 1);
    const std::string bad = dir / "bad", missing = dir / "missing", good = dir / "uImage";
    EXPECT_EQ(r.output, bad + ":uImage FAILED : " + bad + "\n" + missing + ":No such file or directory\n" + good +
                            ":uImage OK : " + good + "\n");

    const ToolRun quiet = run("-q " + path("bad") + " " + path("uImage"));
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.output, "");
    EXPECT_EQ(run("-q " + path("uImage")).status, 0);
}

TEST_F(CkimageTool, VerboseLevelFourDumpsTheHeader) {
    const ToolRun r = run("-v 4 " + path("uImage"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("type=uimage\nname='k'\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("size=70000\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("os=Linux (5)\narch=ARM (2)\ntype=Kernel (2)\ncomp=None (0)\n"), std::string::npos)
        << r.output;
}

// Failures never leave an output file, nor a partial or temporary one, and
// never touch an OUT that was there before.
struct MakeFailure {
    const char* name;
    const char* arguments;  // IN and OUT are names inside the test directory
    int status;
    const char* message;  // part of the output
};

void PrintTo(const MakeFailure& c, std::ostream* os) { *os << c.name; }

class CkimageToolMake : public CkimageTool, public testing::WithParamInterface<MakeFailure> {};

TEST_P(CkimageToolMake, FailsCleanly) {
    const MakeFailure& c = GetParam();
    test::write_file(dir / "tiny", std::string(91, 'x'));
    test::write_file(dir / "out.img", "previous contents");
    const auto before = entries(dir.path());
    std::string arguments = c.arguments;
    for (size_t at; (at = arguments.find("@")) != std::string::npos;) arguments.replace(at, 1, dir.path() + "/");
    const ToolRun r = run(arguments);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    EXPECT_EQ(entries(dir.path()), before);
    EXPECT_EQ(test::read_file(dir / "out.img"), "previous contents");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CkimageToolMake,
    testing::Values(
        MakeFailure{"missing_input", "--make-bootloader @absent @out.img", 1, "absent: cannot read: No such file"},
        MakeFailure{"input_too_short", "--make-bootloader @tiny @out.img", 1,
                    "too short for a boot-loader descriptor (91 bytes, at least 92)"},
        MakeFailure{"input_is_a_directory", "--make-bootloader @ @out.img", 1, "cannot read: Is a directory"},
        MakeFailure{"output_directory_missing", "--make-bootloader @loader.raw @none/out.img", 1,
                    "none/out.img: cannot write: No such file or directory"},
        MakeFailure{"name_too_long",
                    "--make-bootloader -n 0123456789012345678901234567890123456789012345678 @loader.raw @out.img", 2,
                    "name longer than 48 characters"},
        MakeFailure{"missing_output_argument", "--make-bootloader @loader.raw", 2, "usage: ckimage"},
        MakeFailure{"no_files_to_check", "-f", 2, "usage: ckimage"},
        MakeFailure{"bad_verbose_level", "-v high @uImage", 2, "usage: ckimage"},
        MakeFailure{"unknown_option", "-x @uImage", 2, "usage: ckimage"}),
    test::ParamName());

}  // namespace

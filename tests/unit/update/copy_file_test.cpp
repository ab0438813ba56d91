// The general file copier reads gzip as gzip itself does: every member of a
// file of several, and nothing that follows a member unless it is another.
#include "update/copy_file.h"

#include <string>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "support/param_name.h"

namespace {

const std::string a = test::image_bytes(300000, 1);
const std::string b = test::image_bytes(70001, 2);

struct CopyCase {
    const char* name;
    std::string source;
    int copied;            // copy_file's result
    std::string expected;  // the destination afterwards, when copied
    std::string report;    // a line the failure prints
};

class CopyFile : public testing::TestWithParam<CopyCase> {};

TEST_P(CopyFile, GivesTheWholeContentOrFails) {
    const CopyCase& c = GetParam();
    // Small chunks too, so member ends fall inside a chunk and on its edge.
    for (const size_t chunk : {size_t{4093}, size_t{1048576}}) {
        test::SimDevice device;
        test::write_file(device.host("source"), c.source);
        EXPECT_EQ(qm::copy_file("/source", "/copy", chunk, 1, 1), c.copied) << "chunk " << chunk;
        const std::string console = device.take_console();
        if (c.copied) {
            EXPECT_TRUE(test::read_file(device.host("copy")) == c.expected) << "chunk " << chunk;
        } else {
            EXPECT_PRED2(test::contains, console, c.report) << "chunk " << chunk;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sources, CopyFile,
    testing::Values(CopyCase{"plain_bytes", a, 1, a, ""},
                    CopyCase{"one_gzip_member", bundle::gzip(a), 1, a, ""},
                    CopyCase{"two_gzip_members", bundle::gzip(a) + bundle::gzip(b, 1), 1, a + b, ""},
                    CopyCase{"an_empty_member_between", bundle::gzip(a) + bundle::gzip("") + bundle::gzip(b), 1,
                             a + b, ""},
                    CopyCase{"garbage_after_a_member", bundle::gzip(a) + "not gzip at all", 0, "",
                             "ERROR:/source:incorrect header check\n"},
                    CopyCase{"second_member_cut_short", bundle::gzip(a) + bundle::gzip(b).substr(0, 100), 0, "",
                             "ERROR:/source:unexpected end of file\n"}),
    test::ParamName());

}  // namespace

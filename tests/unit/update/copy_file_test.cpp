// The general file copier reads gzip as gzip itself does: every member of a
// file of several, and nothing that follows a member unless it is another.
#include "update/copy_file.h"

#include <string>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "sim/faults.h"
#include "support/param_name.h"

namespace {

// Made when a case runs, not when the cases are listed: every process of
// the suite lists them, and most run none of these.
const std::string& a() {
    static const std::string bytes = test::image_bytes(300000, 1);
    return bytes;
}
const std::string& b() {
    static const std::string bytes = test::image_bytes(70001, 2);
    return bytes;
}
const std::string& gz_a() {
    static const std::string member = bundle::gzip(a());
    return member;
}

struct CopyCase {
    const char* name;
    std::string (*source)();
    int copied;                // copy_file's result
    std::string (*expected)();  // the destination afterwards, when copied
    std::string report;        // a line the failure prints
};

class CopyFile : public testing::TestWithParam<CopyCase> {};

TEST_P(CopyFile, GivesTheWholeContentOrFails) {
    const CopyCase& c = GetParam();
    const std::string source = c.source();
    // Small chunks too, so member ends fall inside a chunk and on its edge.
    for (const size_t chunk : {size_t{4093}, size_t{1048576}}) {
        test::SimDevice device;
        test::write_file(device.host("source"), source);
        EXPECT_EQ(qm::copy_file("/source", "/copy", chunk, 1, 1), c.copied) << "chunk " << chunk;
        const std::string console = device.take_console();
        if (c.copied) {
            EXPECT_TRUE(test::read_file(device.host("copy")) == c.expected()) << "chunk " << chunk;
        } else {
            EXPECT_PRED2(test::contains, console, c.report) << "chunk " << chunk;
        }
    }
}

std::string nothing() { return {}; }

INSTANTIATE_TEST_SUITE_P(
    Sources, CopyFile,
    testing::Values(
        CopyCase{"plain_bytes", [] { return a(); }, 1, [] { return a(); }, ""},
        CopyCase{"one_gzip_member", [] { return gz_a(); }, 1, [] { return a(); }, ""},
        CopyCase{"two_gzip_members", [] { return gz_a() + bundle::gzip(b(), 1); }, 1, [] { return a() + b(); }, ""},
        CopyCase{"an_empty_member_between", [] { return gz_a() + bundle::gzip("") + bundle::gzip(b()); }, 1,
                 [] { return a() + b(); }, ""},
        CopyCase{"garbage_after_a_member", [] { return gz_a() + "not gzip at all"; }, 0, nothing,
                 "ERROR:/source:incorrect header check\n"},
        CopyCase{"second_member_cut_short", [] { return gz_a() + bundle::gzip(b()).substr(0, 100); }, 0, nothing,
                 "ERROR:/source:unexpected end of file\n"}),
    test::ParamName());

// A read may deliver fewer bytes than asked for, the first one included: a
// gzip source must still be recognised by its first two bytes, not copied
// compressed and reported as copied.
TEST(CopyFileShortReads, RecogniseAGzipSourceWhateverTheFirstReadDelivers) {
    const std::string content = b().substr(0, 5000);
    const std::string source = bundle::gzip(content);
    for (const char* fault : {"short-read:/source:1", "short-read:/source:3"}) {
        test::SimDevice device;
        test::write_file(device.host("source"), source);
        std::string error;
        const auto parsed = sim::parse_fault(fault, error);
        ASSERT_TRUE(parsed) << error;
        device.kernel().faults().add(*parsed);
        EXPECT_EQ(qm::copy_file("/source", "/copy", 65536, 1, 1), 1) << fault;
        EXPECT_TRUE(test::read_file(device.host("copy")) == content) << fault << "\n" << device.take_console();
    }
}

}  // namespace

#include "update/unbundle_common.h"

#include <fcntl.h>

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boot/process_state.h"

#include "bundle_fixture.h"
#include "sim/faults.h"
#include "support/param_name.h"

// Failures the pipeline cannot be driven into from outside (no memory, a
// decompressor that cannot start) are made by wrapping the two library
// calls at link time; by default the wrappers pass straight through.
namespace {
size_t fail_allocations_from = 0;  // 0: never
bool fail_inflate_init = false;
}  // namespace

// The linker name of operator new[](size_t, const std::nothrow_t&) depends
// on the width of size_t (tests/CMakeLists.txt wraps the same one).
#if SIZE_MAX > UINT32_MAX
#define QM_NEW_ARRAY_NOTHROW "_ZnamRKSt9nothrow_t"
#else
#define QM_NEW_ARRAY_NOTHROW "_ZnajRKSt9nothrow_t"
#endif

extern "C" void* real_new_array_nothrow(size_t size, const std::nothrow_t& tag) noexcept
    __asm__("__real_" QM_NEW_ARRAY_NOTHROW);
extern "C" int __real_inflateInit2_(z_streamp stream, int window_bits, const char* version, int size);

extern "C" void* wrap_new_array_nothrow(size_t size, const std::nothrow_t& tag) noexcept
    __asm__("__wrap_" QM_NEW_ARRAY_NOTHROW);
extern "C" void* wrap_new_array_nothrow(size_t size, const std::nothrow_t& tag) noexcept {
    if (fail_allocations_from != 0 && size >= fail_allocations_from) return nullptr;
    return real_new_array_nothrow(size, tag);
}

extern "C" int __wrap_inflateInit2_(z_streamp stream, int window_bits, const char* version, int size) {
    if (fail_inflate_init) return Z_MEM_ERROR;
    return __real_inflateInit2_(stream, window_bits, version, size);
}

namespace {

using bundle::member;

// A new-member handler that records the names it is shown.
std::vector<std::string>* seen_names = nullptr;
int record_member(void*, qm::untar_stream*, qm::tar_header* header) {
    if (seen_names != nullptr) seen_names->push_back(header->name);
    return 1;
}

// A new-member handler that counts an error for every member named bad*.
int count_bad_members(void* opaque, qm::untar_stream* stream, qm::tar_header* header) {
    record_member(opaque, stream, header);
    if (std::string(header->name).starts_with("bad")) ++qm::state_of(opaque).errors;
    return 1;
}

struct Walk {
    int result = -1;
    std::vector<std::string> members;
    std::string console;
    bool stdin_open = false;  // the console's standard input, after the pass
};

Walk walk(const std::string& bytes, qm::new_member_handler handler = record_member,
          const char* fault = nullptr) {
    test::SimDevice device;
    if (fault != nullptr) {
        std::string error;
        device.kernel().faults().add(*sim::parse_fault(fault, error));
    }
    Walk w;
    seen_names = &w.members;
    qm::image_check checks[qm::image_type_count]{};
    const int fd = test::place_bundle(device, bytes);
    w.result = qm::do_unbundle("/update.bin", fd, nullptr, handler, checks);
    device.kernel().close(fd);
    w.stdin_open = device.kernel().fcntl_setfd(0, 0) == 0;
    seen_names = nullptr;
    w.console = device.take_console();
    return w;
}

const std::vector<member> two_members = {{"a.txt", "alpha\n"}, {"b.bin", std::string(700, 'b')}};

std::string header_block(const char magic[4]) {
    std::string header(qm::bundle_header_size, '\0');
    std::memcpy(header.data(), magic, 4);
    return header;
}

std::string valid_bundle() { return bundle::make_bundle(two_members); }

// An archive whose first header has lost its ustar magic.
std::string not_a_tar_bundle() {
    std::string archive = bundle::tar_archive(two_members);
    std::memcpy(&archive[257], "notar\0", 6);
    return bundle::wrap_payload(bundle::gzip(archive));
}

// ---- Every way a pass can fail -------------------------------------------

struct FailureCase {
    const char* name;
    std::string (*bytes)();
    const char* fault;
    std::string report;  // the line the pass must print
    size_t members;      // members the parser reported before the failure
};

class PassFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(PassFailure, IsReportedAndFailsThePass) {
    const FailureCase& c = GetParam();
    const Walk w = walk(c.bytes(), record_member, c.fault);
    EXPECT_EQ(w.result, 0);
    EXPECT_PRED2(test::contains, w.console, c.report);
    EXPECT_EQ(w.members.size(), c.members);
    EXPECT_TRUE(w.stdin_open);
}

INSTANTIATE_TEST_SUITE_P(
    Bundle, PassFailure,
    testing::Values(
        FailureCase{"file_of_three_bytes", [] { return std::string("FB0"); }, nullptr,
                    "/update.bin: No data available\n", 0},
        FailureCase{"over_the_air_magic", [] { return "FC02" + valid_bundle().substr(4); }, nullptr,
                    "ERROR: OTA version not supported.\n", 0},
        FailureCase{"unknown_magic", [] { return "FB03" + valid_bundle().substr(4); }, nullptr,
                    "/update.bin:Unrecognized bundle header\n", 0},
        FailureCase{"header_block_cut_short", [] { return header_block(qm::bundle_magic).substr(0, 131071); },
                    nullptr, "/update.bin: No data available\n", 0},
        FailureCase{"header_without_payload", [] { return header_block(qm::bundle_magic); }, nullptr,
                    "/update.bin:decompression error, truncated file\n", 0},
        FailureCase{"payload_cut_in_the_middle",
                    [] {
                        const std::string b = bundle::make_bundle({{"big", test::image_bytes(400000, 1)}});
                        return b.substr(0, b.size() - 1000);
                    },
                    nullptr, "/update.bin:decompression error, truncated file\n", 1},
        FailureCase{"read_error", valid_bundle, "eio-read:/update.bin:3",
                    "/update.bin: Input/output error\n", 0},
        FailureCase{"payload_not_gzip",
                    [] { return bundle::wrap_payload(bundle::tar_archive(two_members)); }, nullptr,
                    "/update.bin:decompression error(-3) incorrect header check\n", 0},
        FailureCase{"corrupt_gzip_checksum",
                    [] {
                        std::string gz = bundle::gzip(bundle::tar_archive(two_members));
                        gz[gz.size() - 6] ^= 0x40;  // inside the CRC-32 of the trailer
                        return bundle::wrap_payload(gz);
                    },
                    nullptr, "/update.bin:decompression error(-3) incorrect data check\n", 0},
        FailureCase{"payload_not_a_tar_archive", not_a_tar_bundle, nullptr, "/update.bin:tar error\n", 0},
        FailureCase{"archive_without_end_block",
                    [] { return bundle::wrap_payload(bundle::gzip(bundle::tar_archive(two_members, false))); },
                    nullptr, "/update.bin:tar error:truncated\n", 2}),
    test::ParamName());

TEST(PassFailure, TarErrorFollowsTheParsersOwnReport) {
    const Walk w = walk(not_a_tar_bundle());
    EXPECT_EQ(w.console, "/update.bin:not a tar file(magic=notar)\n/update.bin:tar error\n");
}

TEST(PassFailure, NoMemoryForTheBuffers) {
    fail_allocations_from = qm::bundle_output_block;
    const Walk w = walk(valid_bundle());
    fail_allocations_from = 0;
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.console, "malloc: Cannot allocate memory\n");
    EXPECT_TRUE(w.stdin_open);
}

TEST(PassFailure, DecompressorThatCannotStartFailsSilently) {
    fail_inflate_init = true;
    const Walk w = walk(valid_bundle());
    fail_inflate_init = false;
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.console, "");
    EXPECT_TRUE(w.members.empty());
}

TEST(PassFailure, MemberErrorsLetTheWalkRunToItsEnd) {
    const Walk w = walk(bundle::make_bundle({{"bad1", "x"}, {"good", "y"}, {"bad2", "z"}, {"last", "w"}}),
                        count_bad_members);
    EXPECT_EQ(w.result, 0);
    EXPECT_EQ(w.members, (std::vector<std::string>{"bad1", "good", "bad2", "last"}));
    EXPECT_EQ(w.console, "");
}

// ---- Walks that succeed --------------------------------------------------

TEST(Pass, GarbageAfterTheGzipStreamIsIgnored) {
    std::string bytes = valid_bundle() + std::string(200000, '\x5a');
    const Walk w = walk(bytes);
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.members, (std::vector<std::string>{"a.txt", "b.bin"}));
    EXPECT_EQ(w.console, "");
}

TEST(Pass, MembersAfterTheEndBlockAreNotReached) {
    std::string archive = bundle::tar_archive({{"first", "1"}}) + bundle::tar_archive({{"hidden", "2"}});
    const Walk w = walk(bundle::wrap_payload(bundle::gzip(archive)));
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.members, std::vector<std::string>{"first"});
}

TEST(Pass, PayloadOfManyBlocksIsWalkedWhole) {
    // Incompressible data, so input and output blocks turn over many times.
    const std::string big = test::image_bytes(3 * qm::bundle_output_block + 12345, 7);
    const std::string bytes = bundle::make_bundle({{"one", big}, {"two", "tail"}});
    ASSERT_GT(bytes.size(), qm::bundle_header_size + 10 * qm::bundle_input_block);
    const Walk w = walk(bytes);
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.members, (std::vector<std::string>{"one", "two"}));
}

// The first 128 KiB input block inflates to exactly one full 512 KiB output
// block, so the decompressor has nothing left to do when the pipeline asks
// it again: that must read on, not count as corrupt data.
std::string boundary_payload() {
    const std::string noise = test::image_bytes(140000, 3);
    for (size_t lo = 100000, hi = 139000; lo <= hi;) {
        const size_t random_bytes = (lo + hi) / 2;
        std::string archive = bundle::tar_header_block("filler", 2 * qm::bundle_output_block);
        archive += noise.substr(0, random_bytes);
        archive.resize(512 + 2 * qm::bundle_output_block, '\0');
        archive += std::string(1024, '\0');
        z_stream z{};
        deflateInit2(&z, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
        std::string out(2 * archive.size() + 1024, '\0');
        z.next_in = reinterpret_cast<Bytef*>(archive.data());
        z.avail_in = qm::bundle_output_block;
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_SYNC_FLUSH);
        const size_t first = z.total_out;
        z.avail_in = static_cast<uInt>(archive.size() - qm::bundle_output_block);
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        if (first == qm::bundle_input_block) return out;
        if (first < qm::bundle_input_block) lo = random_bytes + 1;
        else hi = random_bytes - 1;
    }
    return {};
}

TEST(Pass, OutputBlockFilledExactlyAtTheEndOfAnInputBlock) {
    const std::string gz = boundary_payload();
    ASSERT_FALSE(gz.empty()) << "no payload with the block boundary found";
    // The fixture really hits the boundary: a second inflate call on the
    // first block can make no progress.
    z_stream z{};
    std::vector<uint8_t> out(qm::bundle_output_block);
    inflateInit2(&z, 31);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
    z.avail_in = qm::bundle_input_block;
    z.next_out = out.data();
    z.avail_out = qm::bundle_output_block;
    ASSERT_EQ(inflate(&z, Z_NO_FLUSH), Z_OK);
    ASSERT_EQ(z.avail_out, 0u);
    z.next_out = out.data();
    z.avail_out = qm::bundle_output_block;
    ASSERT_EQ(inflate(&z, Z_NO_FLUSH), Z_BUF_ERROR);
    inflateEnd(&z);

    const Walk w = walk(bundle::wrap_payload(gz));
    EXPECT_EQ(w.console, "");
    EXPECT_EQ(w.result, 1);
    EXPECT_EQ(w.members, std::vector<std::string>{"filler"});
}

// ---- Scrambling ----------------------------------------------------------

TEST(Scrambling, SwapsTheNibblesThenAppliesTheKey) {
    EXPECT_EQ(qm::payload_unscramble_byte(0x12), 0x21 ^ qm::payload_key);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(qm::payload_unscramble_byte(qm::payload_scramble_byte(static_cast<uint8_t>(b))), b);
}

TEST(Scrambling, WholeBlocksAgreeWithTheByteFormAtEveryLengthAndAlignment) {
    std::vector<uint8_t> source(64 + 8);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<uint8_t>(i * 37 + 11);
    for (size_t start = 0; start < 8; ++start) {
        for (size_t length = 0; length <= 64; ++length) {
            std::vector<uint8_t> bytes = source;
            qm::payload_unscramble({bytes.data() + start, length});
            for (size_t i = 0; i < bytes.size(); ++i) {
                const bool inside = i >= start && i < start + length;
                ASSERT_EQ(bytes[i], inside ? qm::payload_unscramble_byte(source[i]) : source[i])
                    << "start " << start << " length " << length << " byte " << i;
            }
        }
    }
}

// ---- Rules ----------------------------------------------------------------

struct RuleCase {
    const char* name;
    const char* member;
    int row;  // index of the deciding row
};

const qm::member_rule sample_rules[] = {
    {{"exact.sig", nullptr}, qm::match_kind::exact, qm::image_none, false, 0, nullptr, nullptr, nullptr},
    {{"rootfs*.img.gz", "other?"}, qm::match_kind::glob, qm::image_rootfs, true, 20, nullptr, nullptr, nullptr},
    {{nullptr, nullptr}, qm::match_kind::glob, qm::image_none, false, 0, nullptr, nullptr, nullptr},
};

class MemberRules : public testing::TestWithParam<RuleCase> {};

TEST_P(MemberRules, FirstMatchingRowDecides) {
    const RuleCase& c = GetParam();
    EXPECT_EQ(&qm::member_rule_find(sample_rules, c.member), &sample_rules[c.row]);
}

INSTANTIATE_TEST_SUITE_P(
    Names, MemberRules,
    testing::Values(RuleCase{"exact_name", "exact.sig", 0},
                    RuleCase{"exact_is_not_a_glob", "exact.sigX", 2},
                    RuleCase{"glob_star", "rootfs-1.2.img.gz", 1},
                    RuleCase{"star_matches_a_slash", "rootfs/../x.img.gz", 1},
                    RuleCase{"second_pattern", "otherZ", 1},
                    RuleCase{"question_mark_is_one_character", "otherZZ", 2},
                    RuleCase{"anything_else", "README", 2}),
    test::ParamName());

// ---- Progress ------------------------------------------------------------

struct ProgressCase {
    const char* name;
    unsigned base, weight;
    uint64_t position, total;
    unsigned shown;
};

class Progress : public testing::TestWithParam<ProgressCase> {};

TEST_P(Progress, BarShowsTheBaseAndTheMembersShare) {
    const ProgressCase& c = GetParam();
    qm::progress_base = c.base;
    EXPECT_EQ(qm::progress_percent(c.weight, c.position, c.total), c.shown);
    qm::process_state_reset();
}

INSTANTIATE_TEST_SUITE_P(
    Members, Progress,
    testing::Values(ProgressCase{"half_of_a_member", 20, 60, 50, 100, 50},
                    ProgressCase{"capped_at_100", 90, 60, 100, 100, 100},
                    ProgressCase{"empty_total_shows_the_base", 30, 60, 5, 0, 30},
                    ProgressCase{"empty_total_base_capped", 130, 60, 0, 0, 100},
                    ProgressCase{"rounded_down", 0, 6, 1, 3, 2},
                    ProgressCase{"large_member", 25, 60, 3000000000ULL, 4000000000ULL, 70}),
    test::ParamName());

TEST(Progress, PushPrintsTheTotalWithoutACap) {
    test::SimDevice device;
    qm::progress_base = 95;
    qm::progress_push(20);
    qm::progress_push(0);
    EXPECT_EQ(qm::progress_base, 115u);
    qm::process_state_reset();
    EXPECT_EQ(device.console(), "INFO:Total progress is 115%\nINFO:Total progress is 115%\n");
}

}  // namespace

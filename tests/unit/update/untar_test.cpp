#include "update/untar.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/console_kernel.h"
#include "support/param_name.h"
#include "support/testdir.h"
#include "support/pattern.h"

namespace {

// ---- Archives written by the test ---------------------------------------

struct Entry {
    std::string name;
    std::string data;
    char type = '0';
    std::string prefix;  // ustar name prefix
};

void put_octal(std::string& block, size_t at, size_t width, unsigned long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(width - 1), value);
    std::memcpy(&block[at], text, width - 1);
    block[at + width - 1] = '\0';
}

std::string header_block(const Entry& e) {
    std::string b(512, '\0');
    std::memcpy(&b[0], e.name.data(), std::min<size_t>(e.name.size(), 100));
    put_octal(b, 100, 8, 0644);
    put_octal(b, 108, 8, 1000);
    put_octal(b, 116, 8, 100);
    put_octal(b, 124, 12, e.data.size());
    put_octal(b, 136, 12, 1796083200);
    b[156] = e.type;
    std::memcpy(&b[257], "ustar\0" "00", 8);
    std::memcpy(&b[265], "builder", 7);
    std::memcpy(&b[297], "staff", 5);
    put_octal(b, 329, 8, 0);
    put_octal(b, 337, 8, 0);
    std::memcpy(&b[345], e.prefix.data(), std::min<size_t>(e.prefix.size(), 155));
    std::memset(&b[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : b) sum += c;
    char text[8];
    std::snprintf(text, sizeof text, "%06o", sum);
    std::memcpy(&b[148], text, 7);  // six digits and a NUL; the space stays
    return b;
}

std::string member(const Entry& e) {
    std::string bytes = header_block(e) + e.data;
    bytes.append((512 - e.data.size() % 512) % 512, '\0');
    return bytes;
}

std::string archive(const std::vector<Entry>& entries) {
    std::string bytes;
    for (const Entry& e : entries) bytes += member(e);
    return bytes + std::string(1024, '\0');
}

using test::pattern;

// ---- Walking an archive and recording what the callbacks saw ------------

struct Seen {
    std::string header;  // every decoded field, as text
    std::string name;
    std::string data;
    std::vector<std::pair<uint64_t, uint32_t>> runs;
};

struct Walk {
    int result = 1;  // of the first push that failed, else 1
    int finished = 0;
    size_t pushes = 0;
    std::vector<Seen> members;
    std::string faults;  // callback contract violations
};

std::string describe(const qm::tar_header& h) {
    char text[600];
    std::snprintf(text, sizeof text,
                  "name=%s mode=%o uid=%u gid=%u size=%llu mtime=%u chksum=%o type=%d link=%s magic=%s "
                  "uname=%s gname=%s dev=%u,%u",
                  h.name, h.mode, h.uid, h.gid, static_cast<unsigned long long>(h.size), h.mtime, h.chksum,
                  h.typeflag, h.linkname, h.magic, h.uname, h.gname, h.devmajor, h.devminor);
    return text;
}

int record_new_file(void* opaque, qm::untar_stream* stream, qm::tar_header* header) {
    auto& walk = *static_cast<Walk*>(opaque);
    if (header != &stream->header) walk.faults += "header is not the stream's record;";
    if (reinterpret_cast<const char*>(header) != header->name) walk.faults += "record does not start with name;";
    walk.members.push_back({describe(*header), header->name, {}, {}});
    return 0;
}

int record_data(void* opaque, qm::untar_stream*, qm::tar_header* header, uint64_t offset, uint32_t length,
                const uint8_t* data) {
    auto& walk = *static_cast<Walk*>(opaque);
    if (walk.members.empty()) {
        walk.faults += "data before any member;";
        return 0;
    }
    Seen& m = walk.members.back();
    if (offset != m.data.size()) walk.faults += "offset out of order in " + m.name + ";";
    if (offset + length > header->size) walk.faults += "data beyond size in " + m.name + ";";
    m.data.append(reinterpret_cast<const char*>(data), length);
    m.runs.emplace_back(offset, length);
    return 0;
}

// Pushes bytes in pieces of `piece` (0: all at once), stopping at the first
// failed push as the bundle walk does.
Walk walk_archive(const std::string& bytes, size_t piece, const char* label = "test.tar") {
    Walk walk;
    qm::untar_stream* s = qm::untar_stream_create(label);
    qm::untar_set_opaque(s, &walk);
    qm::untar_set_new_file(s, record_new_file);
    qm::untar_set_file_data(s, record_data);
    if (piece == 0) piece = std::max<size_t>(bytes.size(), 1);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        const size_t n = std::min(piece, bytes.size() - at);
        ++walk.pushes;
        walk.result = qm::untar_stream_push(s, static_cast<uint32_t>(n),
                                             reinterpret_cast<const uint8_t*>(bytes.data() + at));
        if (walk.result == 0) break;
    }
    walk.finished = qm::untar_finished(s);
    qm::untar_stream_finished(s);
    return walk;
}

// The same members, headers and bytes.
void expect_same_members(const Walk& got, const Walk& want) {
    ASSERT_EQ(got.members.size(), want.members.size());
    for (size_t i = 0; i < got.members.size(); ++i) {
        EXPECT_EQ(got.members[i].header, want.members[i].header);
        EXPECT_TRUE(got.members[i].data == want.members[i].data) << got.members[i].name;
    }
}

// ---- Every split of one archive -----------------------------------------

const std::vector<Entry>& mixed_entries() {
    static const std::vector<Entry> entries = {
        {"empty", "", '0', ""},
        {"one", "x", '0', ""},
        {"dir/", "", '5', ""},
        {"block.bin", pattern(512, 1), '0', ""},
        {"odd.bin", pattern(513, 2), '0', ""},
        {std::string(100, 'n'), pattern(1000, 3), '0', ""},
        {"just-below.bin", pattern(511, 4), '0', ""},
        {"link", "", '2', ""},
    };
    return entries;
}

struct SplitCase {
    const char* name;
    size_t piece;
};

class UntarSplit : public testing::TestWithParam<SplitCase> {};

TEST_P(UntarSplit, SplitGivesTheSameMembersAsOnePushWithRunsOnPushBoundaries) {
    test::ConsoleKernel device;
    const size_t piece = GetParam().piece;
    const std::string bytes = archive(mixed_entries());
    const Walk walk = walk_archive(bytes, piece);

    EXPECT_EQ(walk.result, 1);
    EXPECT_EQ(walk.finished, 1);
    EXPECT_EQ(walk.faults, "");
    EXPECT_EQ(device.console(), "");
    ASSERT_EQ(walk.members.size(), mixed_entries().size());
    const size_t step = piece == 0 ? bytes.size() : piece;
    size_t at = 0;  // position of the member's header in the archive
    for (size_t i = 0; i < walk.members.size(); ++i) {
        const Entry& e = mixed_entries()[i];
        const Seen& m = walk.members[i];
        EXPECT_EQ(m.name, e.name.substr(0, 100));
        EXPECT_TRUE(m.data == e.data) << e.name;
        // One run per push holding any of the member's data, cut at the push
        // boundaries; padding yields nothing.
        std::vector<std::pair<uint64_t, uint32_t>> runs;
        const size_t begin = at + 512, end = begin + e.data.size();
        for (size_t p = begin; p < end;) {
            const size_t stop = std::min(end, (p / step + 1) * step);
            runs.emplace_back(p - begin, static_cast<uint32_t>(stop - p));
            p = stop;
        }
        EXPECT_EQ(m.runs, runs) << e.name;
        at += member(e).size();
    }
}

INSTANTIATE_TEST_SUITE_P(Pieces, UntarSplit,
                         testing::Values(SplitCase{"one_byte", 1}, SplitCase{"seven", 7},
                                         SplitCase{"block_less_one", 511}, SplitCase{"block", 512},
                                         SplitCase{"block_plus_one", 513},
                                         SplitCase{"first_cut_after_seven_bytes_of_mode", 107},
                                         SplitCase{"whole", 0}),
                         test::ParamName());

TEST(Untar, EmptyPushesAnywhereChangeNothing) {
    test::ConsoleKernel device;
    const std::string bytes = archive(mixed_entries());
    const Walk whole = walk_archive(bytes, 0);

    Walk walk;
    qm::untar_stream* s = qm::untar_stream_create("t");
    qm::untar_set_opaque(s, &walk);
    qm::untar_set_new_file(s, record_new_file);
    qm::untar_set_file_data(s, record_data);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = 0; at < bytes.size(); at += 97) {
        EXPECT_EQ(qm::untar_stream_push(s, 0, data + at), 1);
        EXPECT_EQ(qm::untar_stream_push(s, 0, nullptr), 1);  // an empty span's pointer
        EXPECT_EQ(qm::untar_stream_push(s, static_cast<uint32_t>(std::min<size_t>(97, bytes.size() - at)), data + at),
                  1);
    }
    EXPECT_EQ(qm::untar_finished(s), 1);
    qm::untar_stream_finished(s);
    expect_same_members(walk, whole);
}

// Damaged archives, whatever the damage, must give the same callbacks, the
// same verdict and the same messages in any pieces.
TEST(Untar, DamagedArchivesBehaveTheSameInAnyPieces) {
    const std::string clean = archive(mixed_entries());
    unsigned x = 12345;
    auto next = [&x] {
        x = x * 1103515245u + 12345u;
        return x >> 8;
    };
    int refused = 0;
    for (int round = 0; round < 150; ++round) {
        std::string bytes = clean;
        const int changes = 1 + static_cast<int>(next() % 4);
        for (int i = 0; i < changes; ++i) {
            // Mostly inside the first header blocks, where the parser decides
            // things; never in the end blocks, after which one push ignores
            // what several pushes would read.
            const size_t at = next() % 2 == 0 ? next() % 2048 : next() % (bytes.size() - 1024);
            const char choices[] = {'\0', ' ', '7', '8', 'x', '\x80', '-'};
            bytes[at] = choices[next() % sizeof choices];
        }
        SCOPED_TRACE(round);
        test::ConsoleKernel device;
        const Walk whole = walk_archive(bytes, 0);
        const std::string whole_console = device.take_console();
        refused += whole.result == 0;
        for (size_t piece : {size_t{1}, size_t{7}, size_t{513}}) {
            SCOPED_TRACE(piece);
            const Walk split = walk_archive(bytes, piece);
            EXPECT_EQ(split.result, whole.result);
            EXPECT_EQ(split.finished, whole.finished);
            EXPECT_EQ(split.faults, "");
            expect_same_members(split, whole);
            EXPECT_EQ(device.take_console(), whole_console);
        }
    }
    // The damage must reach both verdicts for the comparison to mean much.
    EXPECT_GT(refused, 15);
    EXPECT_LT(refused, 135);
}

// ---- The end of the archive ---------------------------------------------

TEST(Untar, OneZeroBlockEndsTheArchiveAndTheRestOfThePushIsIgnored) {
    test::ConsoleKernel device;
    std::string bytes = member({"a", "abc", '0', ""}) + std::string(512, '\0') + member({"late", "zz", '0', ""});
    const Walk walk = walk_archive(bytes, 0);
    EXPECT_EQ(walk.result, 1);
    EXPECT_EQ(walk.finished, 1);
    ASSERT_EQ(walk.members.size(), 1u);
    EXPECT_EQ(walk.members[0].data, "abc");
}

TEST(Untar, MissingEndBlockLeavesTheStreamUnfinished) {
    test::ConsoleKernel device;
    const std::string bytes = member({"a", pattern(700, 5), '0', ""});
    for (size_t piece : {size_t{1}, size_t{512}, size_t{0}}) {
        const Walk walk = walk_archive(bytes, piece);
        EXPECT_EQ(walk.result, 1);
        EXPECT_EQ(walk.finished, 0);
        ASSERT_EQ(walk.members.size(), 1u);
        EXPECT_EQ(walk.members[0].data.size(), 700u);
    }
}

TEST(Untar, BlockWithOnlyATypeFlagIsAnEndBlockAndMoreZeroBlocksKeepItFinished) {
    test::ConsoleKernel device;
    std::string end(512, '\0');
    end[156] = '0';
    qm::untar_stream* s = qm::untar_stream_create("t");
    EXPECT_EQ(qm::untar_finished(s), 0);
    EXPECT_EQ(qm::untar_stream_push(s, 512, reinterpret_cast<const uint8_t*>(end.data())), 1);
    EXPECT_EQ(qm::untar_finished(s), 1);
    const std::string zeros(1024, '\0');
    EXPECT_EQ(qm::untar_stream_push(s, 1024, reinterpret_cast<const uint8_t*>(zeros.data())), 1);
    EXPECT_EQ(qm::untar_finished(s), 1);
    qm::untar_stream_finished(s);
    EXPECT_EQ(device.console(), "");
}

// ---- Header fields --------------------------------------------------------

TEST(Untar, NameOfOneHundredCharactersIsTerminatedAndThePrefixIsLeftOut) {
    test::ConsoleKernel device;
    const std::string long_name(100, 'q');
    const Walk walk = walk_archive(archive({{long_name, "1", '0', "some/prefix/dir"}, {"next", "2", '0', ""}}), 1);
    ASSERT_EQ(walk.members.size(), 2u);
    EXPECT_EQ(walk.members[0].name, long_name);
    EXPECT_EQ(walk.members[1].name, "next");
    EXPECT_NE(walk.members[0].header.find("magic=ustar"), std::string::npos);
}

TEST(Untar, DecodedHeaderCarriesEveryField) {
    test::ConsoleKernel device;
    Entry e{"dev/node", "", '3', ""};
    std::string block = header_block(e);
    std::memcpy(&block[157], "target", 6);
    put_octal(block, 329, 8, 0123);
    put_octal(block, 337, 8, 7);
    put_octal(block, 148, 8, 01234);  // not compared with the block's sum
    const Walk walk = walk_archive(block + std::string(512, '\0'), 0);
    ASSERT_EQ(walk.members.size(), 1u);
    EXPECT_EQ(walk.members[0].header,
              "name=dev/node mode=644 uid=1000 gid=100 size=0 mtime=1796083200 chksum=1234 type=51 link=target "
              "magic=ustar uname=builder gname=staff dev=83,7");
}

struct FieldCase {
    const char* name;
    size_t at;          // where the field text goes in the first header block
    std::string text;   // written over the field
    const char* shown;  // expected text of the decoded header, or null when refused
    std::string message;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.name; }

class UntarField : public testing::TestWithParam<FieldCase> {};

// Each case is checked with one push and with one byte per push: the verdict
// and the message must not depend on where the pieces end.
TEST_P(UntarField, FieldIsDecodedOrRefused) {
    const FieldCase& c = GetParam();
    Entry e{"file", "data", '0', ""};
    std::string bytes = archive({e, {"second", "more", '0', ""}});
    std::memcpy(&bytes[c.at], c.text.data(), c.text.size());
    for (size_t piece : {size_t{0}, size_t{1}}) {
        SCOPED_TRACE(piece);
        test::ConsoleKernel device;
        const Walk walk = walk_archive(bytes, piece, c.message.empty() ? "x.tar" : nullptr);
        EXPECT_EQ(walk.faults, "");
        if (c.shown) {
            EXPECT_EQ(walk.result, 1);
            ASSERT_EQ(walk.members.size(), 2u);
            EXPECT_NE(walk.members[0].header.find(c.shown), std::string::npos) << walk.members[0].header;
            EXPECT_EQ(walk.members[0].data, "data");
            EXPECT_EQ(walk.members[1].data, "more");
            EXPECT_EQ(device.console(), "");
        } else {
            EXPECT_EQ(walk.result, 0);
            EXPECT_TRUE(walk.members.empty());
            EXPECT_EQ(device.console(), c.message);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fields, UntarField,
    testing::Values(
        FieldCase{"mode_seven_digits_and_nul", 100, std::string("0000644\0", 8), "mode=644 ", ""},
        FieldCase{"mode_space_and_nul_as_bsdtar_writes", 100, std::string("000644 \0", 8), "mode=644 ", ""},
        FieldCase{"mode_seven_digits_and_space", 100, "0000644 ", "mode=644 ", ""},
        FieldCase{"uid_only_nuls", 108, std::string(8, '\0'), "uid=0 ", ""},
        FieldCase{"gid_only_spaces", 116, "        ", "gid=0 ", ""},
        FieldCase{"mtime_leading_spaces", 136, "    1234567 ", "mtime=342391 ", ""},
        FieldCase{"size_twelve_digits_no_terminator", 124, "000000000004", "size=4 ", ""},
        FieldCase{"uid_negative_wraps", 108, std::string("-1\0", 3), "uid=4294967295 ", ""},
        FieldCase{"mode_eight_refused", 100, std::string("0000648\0", 8), nullptr,
                  "(none):tar corruption(mode)\n"},
        FieldCase{"uid_letter_refused", 108, std::string("00001x0\0", 8), nullptr,
                  "(none):tar corruption(uid)\n"},
        FieldCase{"chksum_space_inside_refused", 148, std::string("012 34\0 ", 8), nullptr,
                  "(none):tar corruption(chksum)\n"},
        FieldCase{"devminor_high_bit_refused", 337, std::string("\xb0" "000000", 7), nullptr,
                  "(none):tar corruption(devminor)\n"},
        FieldCase{"size_base_256_refused", 124, std::string("\x80\0\0\0\0\0\0\0\0\0\0\x04", 12), nullptr,
                  "(none):tar corruption(size)\n"},
        FieldCase{"size_above_32_bits_refused", 124, std::string("40000000000\0", 12), nullptr,
                  "(none):tar corruption(size)\n"},
        FieldCase{"size_negative_refused", 124, std::string("-0000000004\0", 12), nullptr,
                  "(none):tar corruption(size)\n"},
        FieldCase{"mtime_above_32_bits_refused", 136, std::string("77777777777\0", 12), nullptr,
                  "(none):tar corruption(mtime)\n"},
        FieldCase{"old_style_header_refused", 257, std::string(8, '\0'), nullptr,
                  "(none):not a tar file(magic=)\n"},
        FieldCase{"other_magic_refused", 257, std::string("ustra\0" "00", 8), nullptr,
                  "(none):not a tar file(magic=ustra)\n"},
        FieldCase{"gnu_magic_accepted", 257, std::string("ustar  \0", 8), "magic=ustar  ", ""}),
    test::ParamName());

TEST(Untar, BlockZeroUpToModeButNotAfterIsCorrupt) {
    std::string block(512, '\0');
    block[400] = 'x';  // in the name prefix, after the numbers were skipped unparsed
    const std::string bytes = block + archive({{"good", "ok", '0', ""}});
    for (size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
        SCOPED_TRACE(piece);
        test::ConsoleKernel device;
        const Walk walk = walk_archive(bytes, piece, "bundle.bin");
        EXPECT_EQ(walk.result, 0);
        EXPECT_TRUE(walk.members.empty());
        EXPECT_EQ(device.console(), "bundle.bin:tar corruption in header\n");
    }
}

TEST(Untar, StreamStartsOverAfterAnError) {
    test::ConsoleKernel device;
    std::string bad = header_block({"bad", "", '0', ""});
    bad[101] = '9';
    const std::string good = archive({{"good", "payload", '0', ""}});
    Walk walk;
    qm::untar_stream* s = qm::untar_stream_create("again");
    qm::untar_set_opaque(s, &walk);
    qm::untar_set_new_file(s, record_new_file);
    qm::untar_set_file_data(s, record_data);
    // The error comes in the middle of this push; what follows it is dropped.
    EXPECT_EQ(qm::untar_stream_push(s, 300, reinterpret_cast<const uint8_t*>(bad.data())), 0);
    EXPECT_EQ(qm::untar_stream_push(s, static_cast<uint32_t>(good.size()),
                                    reinterpret_cast<const uint8_t*>(good.data())),
              1);
    EXPECT_EQ(qm::untar_finished(s), 1);
    qm::untar_stream_finished(s);
    ASSERT_EQ(walk.members.size(), 1u);
    EXPECT_EQ(walk.members[0].data, "payload");
    EXPECT_EQ(device.console(), "again:tar corruption(mode)\n");
}

// ---- Callbacks set and replaced during the walk ---------------------------

struct Routing {
    std::string kept;
    std::vector<std::string> ignored_names;
    int ignored_calls = 0;
};

int ignore_data(void* opaque, qm::untar_stream*, qm::tar_header* header, uint64_t, uint32_t, const uint8_t*) {
    auto& r = *static_cast<Routing*>(opaque);
    ++r.ignored_calls;
    if (r.ignored_names.empty() || r.ignored_names.back() != header->name) r.ignored_names.push_back(header->name);
    return 0;
}

// Keeps the first 10 bytes of a member, then hands the rest to ignore_data.
int keep_ten(void* opaque, qm::untar_stream* stream, qm::tar_header*, uint64_t offset, uint32_t length,
             const uint8_t* data) {
    auto& r = *static_cast<Routing*>(opaque);
    const uint64_t want = offset < 10 ? 10 - offset : 0;
    r.kept.append(reinterpret_cast<const char*>(data), static_cast<size_t>(std::min<uint64_t>(want, length)));
    if (offset + length >= 10) qm::untar_set_file_data(stream, ignore_data);
    return 0;
}

int route_by_name(void*, qm::untar_stream* stream, qm::tar_header* header) {
    if (std::strncmp(header->name, "keep", 4) == 0) qm::untar_set_file_data(stream, keep_ten);
    return 0;
}

TEST(Untar, CallbacksInstalledFromCallbacksTakeEffectAtOnceAndStay) {
    test::ConsoleKernel device;
    // "other" has no routing of its own: the callback left by "keep" serves it.
    const std::string bytes = archive({{"keep", "0123456789abcdef", '0', ""}, {"other", "zzz", '0', ""}});
    for (size_t piece : {size_t{1}, size_t{0}}) {
        SCOPED_TRACE(piece);
        Routing r;
        qm::untar_stream* s = qm::untar_stream_create("r");
        qm::untar_set_opaque(s, &r);
        qm::untar_set_new_file(s, route_by_name);
        for (size_t at = 0; at < bytes.size(); at += piece ? piece : bytes.size())
            ASSERT_EQ(qm::untar_stream_push(s, static_cast<uint32_t>(std::min(piece ? piece : bytes.size(),
                                                                               bytes.size() - at)),
                                            reinterpret_cast<const uint8_t*>(bytes.data() + at)),
                      1);
        qm::untar_stream_finished(s);
        EXPECT_EQ(r.kept, "0123456789");
        EXPECT_EQ(r.ignored_names, (piece == 1 ? std::vector<std::string>{"keep", "other"}
                                               : std::vector<std::string>{"other"}));
        EXPECT_EQ(r.ignored_calls, piece == 1 ? 6 + 3 : 1);
    }
}

TEST(Untar, WalkWithoutCallbacksStillFindsTheEnd) {
    test::ConsoleKernel device;
    const std::string bytes = archive(mixed_entries());
    qm::untar_stream* s = qm::untar_stream_create(nullptr);
    EXPECT_EQ(qm::untar_stream_push(s, static_cast<uint32_t>(bytes.size()),
                                    reinterpret_cast<const uint8_t*>(bytes.data())),
              1);
    EXPECT_EQ(qm::untar_finished(s), 1);
    qm::untar_stream_finished(s);
    qm::untar_stream_finished(nullptr);
}

TEST(Untar, IsZero) {
    const uint8_t bytes[] = {0, 0, 0, 1, 0};
    EXPECT_EQ(qm::is_zero(bytes, 0), 1);
    EXPECT_EQ(qm::is_zero(bytes, 3), 1);
    EXPECT_EQ(qm::is_zero(bytes, 4), 0);
    EXPECT_EQ(qm::is_zero(bytes + 4, 1), 1);
}

// ---- Archives written by other programs -----------------------------------

struct PeerCase {
    const char* name;
    const char* command;  // run in the source directory; %s is the archive path
};

class UntarPeer : public testing::TestWithParam<PeerCase> {};

TEST_P(UntarPeer, ArchiveGivesTheSameMembersInAnyPieces) {
    test::TempDir dir;
    const std::map<std::string, std::string> files = {
        {"files/empty", ""},
        {"files/one", "1"},
        {"files/block.bin", pattern(512, 11)},
        {"files/odd.bin", pattern(513, 12)},
        {"files/big.bin", pattern(250'003, 13)},
        {"files/sub/nested.txt", "nested text\n"},
        {"files/sub/" + std::string(80, 'L'), pattern(77, 14)},
    };
    for (const auto& [name, bytes] : files) test::write_file(dir / ("src/" + name), bytes);
    const std::string tar_path = dir / "peer.tar";
    std::string command = GetParam().command;
    command.replace(command.find("%s"), 2, tar_path);
    ASSERT_EQ(std::system(("cd '" + (dir / "src") + "' && " + command).c_str()), 0) << command;
    const std::string bytes = test::read_file(tar_path);
    ASSERT_GT(bytes.size(), 250'003u);

    test::ConsoleKernel device;
    const Walk whole = walk_archive(bytes, 0);
    EXPECT_EQ(whole.result, 1);
    EXPECT_EQ(whole.finished, 1);
    EXPECT_EQ(whole.faults, "");
    std::map<std::string, std::string> regular;
    for (const Seen& m : whole.members) {
        const bool is_regular = m.header.find(" type=48 ") != std::string::npos ||
                                m.header.find(" type=0 ") != std::string::npos;
        if (is_regular) regular[m.name.rfind("./", 0) == 0 ? m.name.substr(2) : m.name] = m.data;
    }
    EXPECT_TRUE(regular == files);
    EXPECT_EQ(device.console(), "");

    for (size_t piece : {size_t{1}, size_t{7}, size_t{512}, size_t{100'000}}) {
        SCOPED_TRACE(piece);
        const Walk split = walk_archive(bytes, piece);
        EXPECT_EQ(split.result, 1);
        EXPECT_EQ(split.finished, 1);
        expect_same_members(split, whole);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Writers, UntarPeer,
    testing::Values(
        PeerCase{"gnu_tar_ustar", "tar --format=ustar -cf '%s' files"},
        PeerCase{"gnu_tar_default", "tar -cf '%s' files"},
        PeerCase{"python_tarfile_default",
                 "python3 -c 'import sys, tarfile\nwith tarfile.open(sys.argv[1], \"w\") as t: t.add(\"files\")' '%s'"},
        PeerCase{"python_tarfile_gnu",
                 "python3 -c 'import sys, tarfile\nwith tarfile.open(sys.argv[1], \"w\", format=tarfile.GNU_FORMAT) as "
                 "t: t.add(\"files\")' '%s'"},
        PeerCase{"bsdtar_ustar", "bsdtar --format=ustar -cf '%s' files"},
        PeerCase{"bsdtar_default", "bsdtar -cf '%s' files"}),
    test::ParamName());

}  // namespace

// `mkbundle list --json` and `verify --json` read back with a real JSON
// parser: the document alone on the standard output, the device's transcript
// on the standard error stream, and in the document what the verdict decided.
#include <mbedtls/md5.h>

#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "hex_text.h"
#include "support/command_run.h"
#include "support/json_query.h"
#include "support/param_name.h"

namespace {

using test::contains;
using test::read_file;
using test::run_in;
using test::write_file;

const std::string mkbundle_tool = QM_MKBUNDLE;

std::string md5(const std::string& bytes) {
    std::string digest(16, '\0');
    mbedtls_md5_ret(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                    reinterpret_cast<unsigned char*>(digest.data()));
    return digest;
}

// A list of ASCII strings as json.dumps prints it.
std::string json_list(const std::vector<std::string>& items) {
    std::string text = "[";
    for (const std::string& item : items) text += (text.size() > 1 ? ", \"" : "\"") + item + "\"";
    return text + "]";
}

std::string key_path(int n) { return test::dev_key_path(n); }

// The images of a bundle in a fresh directory.
struct Images {
    test::TempDir dir;
    std::string kernel = test::image_bytes(300000, 1);
    std::string uboot = test::image_bytes(40000, 2);
    std::string rootfs = bundle::gzip(test::image_bytes(200000, 3));
    std::string notes = "first line\nsecond line\n";
    Images() {
        write_file(dir / "k.img", kernel);
        write_file(dir / "ub.bin", uboot);
        write_file(dir / "rootfs.img.gz", rootfs);
        write_file(dir / "notes.txt", notes);
    }
    // Kernel and root file system signed with key 1, boot loader with key 2.
    void make_signed(const std::string& out) {
        const test::CommandRun made =
            run_in(dir, mkbundle_tool + " create --out " + out + " --key " + key_path(1) + " --key " + key_path(2) +
                            " imx35_selda/uImage=k.img imx35_selda/u-boot.bin=ub.bin rootfs.img.gz=rootfs.img.gz "
                            "update-notes.dat=notes.txt");
        ASSERT_EQ(made.status, 0) << made.err;
    }
};

TEST(MkbundleListJson, EveryMemberWithItsSizeTypeAndDigests) {
    Images images;
    images.make_signed("u.bin");
    const test::CommandRun r = run_in(images.dir, mkbundle_tool + " list --json u.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string kernel_sig = test::dev_key(1).sign(images.kernel);  // PKCS#1 v1.5 is deterministic
    const std::string uboot_sig = test::dev_key(2).sign(images.uboot);
    const std::string rootfs_sig = test::dev_key(1).sign(images.rootfs);
    const std::vector<std::string> in_order = {images.kernel, kernel_sig, images.uboot, uboot_sig,
                                               images.rootfs, rootfs_sig, images.notes};
    std::vector<std::string> sha256s, md5s, sizes;
    for (const std::string& bytes : in_order) {
        sha256s.push_back(mkbundle::hex_text(bundle::sha256(bytes)));
        md5s.push_back(mkbundle::hex_text(md5(bytes)));
    }
    const std::vector<std::string> got = test::json_values(
        r.out, {"[d['schema'], d['command'], d['bundle'], d['family'], d['complete']]",
                "[m['name'] for m in d['members']]", "[m['type'] for m in d['members']]",
                "[m['size'] for m in d['members']]", "[m['sha256'] for m in d['members']]",
                "[m['md5'] for m in d['members']]", "sorted(d.keys())"});
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0], R"([1, "list", "u.bin", "selda", true])");
    EXPECT_EQ(got[1], json_list({"imx35_selda/uImage", "imx35_selda/uImage.sig", "imx35_selda/u-boot.bin",
                                 "imx35_selda/u-boot.bin.sig", "rootfs.img.gz", "rootfs.img.gz.sig",
                                 "update-notes.dat"}));
    EXPECT_EQ(got[2], json_list({"UImage", "signature of UImage", "UBoot", "signature of UBoot", "RootFS",
                                 "signature of RootFS", "text"}));
    EXPECT_EQ(got[3], "[300000, 128, 40000, 256, " + std::to_string(images.rootfs.size()) + ", 128, 23]");
    EXPECT_EQ(got[4], json_list(sha256s));
    EXPECT_EQ(got[5], json_list(md5s));
    // list makes no verdict.
    EXPECT_EQ(got[6], json_list({"bundle", "command", "complete", "family", "members", "schema"}));
}

// ---- verify --json ---------------------------------------------------------

struct VerdictCase {
    const char* name;
    void (*make)(Images& images);  // writes u.bin
    int status;
    std::string verdicts;  // of UImage, RootFS, UBoot, DiagsFS
    std::string keys;
    std::string transcript;  // a line the device prints on the standard error stream
    friend void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }
};

class MkbundleVerifyJson : public testing::TestWithParam<VerdictCase> {};

TEST_P(MkbundleVerifyJson, TheVerdictAsDataAndTheTranscriptBeside) {
    const VerdictCase& c = GetParam();
    Images images;
    c.make(images);
    if (testing::Test::HasFatalFailure()) return;
    const test::CommandRun r = run_in(images.dir, mkbundle_tool + " verify --json u.bin");
    EXPECT_EQ(r.status, c.status) << r.err;
    // The whole standard output is the document: the parse would fail on
    // anything else, such as the text members the device echoes.
    const std::vector<std::string> got =
        test::json_values(r.out, {"[d['command'], d['complete'], d['authorised']]", "[i['type'] for i in d['images']]",
                                  "[i['verdict'] for i in d['images']]", "[i['key'] for i in d['images']]",
                                  "[[k['key'], k['bits'], k['source']] for k in d['keys']]"});
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], std::string(R"(["verify", true, )") + (c.status == 0 ? "true" : "false") + "]");
    EXPECT_EQ(got[1], json_list({"UImage", "RootFS", "UBoot", "DiagsFS"}));
    EXPECT_EQ(got[2], c.verdicts);
    EXPECT_EQ(got[3], c.keys);
    EXPECT_EQ(got[4], R"([[1, 1024, "built-in"], [2, 2048, "built-in"]])");
    EXPECT_PRED2(contains, r.err, "*** CHECKING u.bin ***\n");
    EXPECT_PRED2(contains, r.err, c.transcript);
    EXPECT_PRED2(contains, r.err, c.status == 0 ? "u.bin is authorised" : "u.bin is NOT authorised");
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, MkbundleVerifyJson,
    testing::Values(
        VerdictCase{"signed_with_both_keys", [](Images& i) { i.make_signed("u.bin"); }, 0,
                    R"(["signed", "signed", "signed", "missing"])", "[1, 1, 2, null]",
                    "update-notes.dat:second line\n"},
        VerdictCase{"foreign_key",
                    [](Images& i) {
                        ASSERT_EQ(run_in(i.dir, mkbundle_tool + " keygen --bits 2048 --out other.pem").status, 0);
                        ASSERT_EQ(run_in(i.dir, mkbundle_tool + " create --out u.bin --key other.pem "
                                                                "imx35_selda/uImage=k.img")
                                      .status,
                                  0);
                    },
                    1, R"(["signature failed", "missing", "missing", "missing"])", "[null, null, null, null]",
                    "WARNING:UImage:SIGNATURE FAILED!\n"},
        VerdictCase{"image_without_signature",
                    [](Images& i) {
                        write_file(i.dir / "u.bin", bundle::make_bundle({{"imx35_selda/u-boot.bin", i.uboot}}));
                    },
                    1, R"(["missing", "missing", "signature failed", "missing"])", "[null, null, null, null]",
                    "INFO:UBoot:Present siglen=0 sigpassed=NO\n"},
        VerdictCase{"two_root_file_systems",
                    [](Images& i) {
                        write_file(i.dir / "u.bin", bundle::make_bundle({{"rootfs.img.gz", i.rootfs},
                                                                         {"rootfs-b.img.gz", i.rootfs},
                                                                         {"rootfs.img.gz.sig",
                                                                          test::dev_key(2).sign(i.rootfs)}}));
                    },
                    1, R"(["missing", "several images", "missing", "missing"])", "[null, 2, null, null]",
                    "ERROR:RootFS:bundle holds 2 images of this type, only one is allowed\n"}),
    test::ParamName());

TEST(MkbundleVerifyJson, NoVerdictWhenTheCheckPassFails) {
    Images images;
    images.make_signed("whole.bin");
    const std::string whole = read_file(images.dir / "whole.bin");
    write_file(images.dir / "u.bin", whole.substr(0, whole.size() - 200));
    const test::CommandRun r = run_in(images.dir, mkbundle_tool + " verify --json u.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_PRED2(contains, r.err, "u.bin:decompression error, truncated file");
    const std::vector<std::string> got = test::json_values(
        r.out, {"[d['complete'], d['images'], d['authorised']]", "[m['name'] for m in d['members']]"});
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "[false, null, false]");
    // The members read to their end before the cut, and no other.
    EXPECT_PRED2(contains, got[1], R"("imx35_selda/uImage", "imx35_selda/uImage.sig")");
    EXPECT_FALSE(contains(got[1], "update-notes.dat"));

    const test::CommandRun absent = run_in(images.dir, mkbundle_tool + " verify --json absent.bin");
    EXPECT_EQ(absent.status, 1);
    EXPECT_EQ(absent.err, "mkbundle: absent.bin: No such file or directory\n");
    EXPECT_EQ(test::json_value(absent.out, "[d['complete'], d['members'], d['images'], d['authorised']]"),
              "[false, [], null, false]");
}

TEST(MkbundleListJson, MemberNamesOfAnyBytesStayValidJson) {
    struct Name {
        std::string bytes;
        std::string json;  // as json.dumps prints what the parser read
    };
    const std::vector<Name> names = {
        {"quote\"back\\slash", R"("quote\"back\\slash")"},
        {"tab\tnew\nline\r", R"("tab\tnew\nline\r")"},
        {"ctl\x01\x1f\x7f", R"("ctl\u0001\u001f\u007f")"},
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\x96", R"("caf\u00e9 \u20ac \ud83d\udcd6")"},
        {"lone\xff\xfe", R"("lone\ufffd\ufffd")"},
        {"cut\xe2\x82", R"("cut\ufffd\ufffd")"},
        {"overlong\xc0\xaf", R"("overlong\ufffd\ufffd")"},
        {"surrogate\xed\xa0\x80", R"("surrogate\ufffd\ufffd\ufffd")"},
        {"beyond\xf4\x90\x80\x80", R"("beyond\ufffd\ufffd\ufffd\ufffd")"},
    };
    std::vector<bundle::member> members;
    std::vector<std::string> expected;
    for (const Name& n : names) {
        members.push_back({n.bytes, "x"});
        expected.push_back(n.json);
    }
    test::TempDir dir;
    write_file(dir / "odd.bin", bundle::make_bundle(members));
    const test::CommandRun r = run_in(dir, mkbundle_tool + " list --json odd.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string want = "[";
    for (const std::string& e : expected) want += (want.size() > 1 ? ", " : "") + e;
    EXPECT_EQ(test::json_value(r.out, "[m['name'] for m in d['members']]"), want + "]");
}

}  // namespace

#include "update/signing.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "boot/process_state.h"

#include <mbedtls/md5.h>

#include "bundle_fixture.h"
#include "support/param_name.h"

namespace {

using bundle::member;
using test::contains;

const std::string kernel = test::image_bytes(70000, 11);
const std::string uboot = test::image_bytes(9000, 12);
const std::string rootfs = test::image_bytes(150000, 13);

std::string sig(int key, const std::string& image) { return test::dev_key(key).sign(image); }

// Checks that the lines appear in the console in this order.
void expect_in_order(const std::string& console, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        const size_t found = console.find(line, at);
        ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\nconsole:\n" << console;
        at = found + line.size();
    }
}

const std::string not_authorised = "ERROR:\n**** THIS BUNDLE IS NOT AUTHORIZED TO INSTALL! ****\n";

// ---- verify and signature_verify -----------------------------------------

TEST(Verify, SignatureOfTheDigestUnderEitherKey) {
    test::SimDevice device;
    const std::string digest = bundle::sha256(kernel);
    const auto* d = reinterpret_cast<const uint8_t*>(digest.data());
    const std::string s1 = sig(1, kernel), s2 = sig(2, kernel);
    ASSERT_EQ(s1.size(), 128u);
    ASSERT_EQ(s2.size(), 256u);
    EXPECT_EQ(qm::signature_verify(128, reinterpret_cast<const uint8_t*>(s1.data()), d), 1);
    EXPECT_EQ(device.take_console(), "");
    EXPECT_EQ(qm::signature_verify(256, reinterpret_cast<const uint8_t*>(s2.data()), d), 1);
    EXPECT_EQ(device.take_console(),
              "ERROR: signature is not the correct length (128 bytes versus 256 bytes)\n");

    const std::string other = bundle::sha256(uboot);
    EXPECT_EQ(qm::signature_verify(128, reinterpret_cast<const uint8_t*>(s1.data()),
                                   reinterpret_cast<const uint8_t*>(other.data())),
              0);
    EXPECT_EQ(device.take_console(),
              "ERROR: signature is not the correct length (256 bytes versus 128 bytes)\n");
}

TEST(Verify, KeyWithoutModulus) {
    test::SimDevice device;
    const uint8_t zero[3] = {0, 0, 0}, exponent[3] = {1, 0, 1}, digest[32] = {};
    EXPECT_EQ(qm::verify(zero, sizeof zero, exponent, sizeof exponent, 0, nullptr, digest), 0);
    EXPECT_EQ(device.console(), "ERROR: rsa.len is 0\n");
}

// ---- The check pass and the verdict ---------------------------------------

struct VerdictCase {
    const char* name;
    bundle::family family;
    std::vector<member> (*members)();
    bool authorised;
    std::vector<std::string> lines;  // expected in this order on the console
};

class Verdict : public testing::TestWithParam<VerdictCase> {};

TEST_P(Verdict, ReportsEveryTypeAndDecides) {
    const VerdictCase& c = GetParam();
    const test::CheckRun run = test::check_bundle(bundle::make_bundle(c.members()), c.family);
    EXPECT_EQ(run.pass, 1) << run.console;
    EXPECT_EQ(run.authorised, c.authorised ? 1 : 0) << run.console;
    expect_in_order(run.console, c.lines);
    EXPECT_EQ(contains(run.console, not_authorised), !c.authorised);
}

const std::vector<std::string> others_missing = {"INFO:RootFS:missing\n", "INFO:UBoot:missing\n",
                                                 "INFO:DiagsFS:missing\n"};

std::vector<std::string> with(std::vector<std::string> first, const std::vector<std::string>& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

INSTANTIATE_TEST_SUITE_P(
    Bundles, Verdict,
    testing::Values(
        VerdictCase{"kernel_signed_with_key_1", bundle::family::selda,
                    [] { return std::vector<member>{{"imx35_selda/uImage", kernel},
                                                    {"imx35_selda/uImage.sig", sig(1, kernel)}}; },
                    true,
                    with({"SIGNATURE FILE: imx35_selda/uImage.sig\n",
                          "INFO:imx35_selda/uImage.sig:sig_len=128\n",
                          "INFO:UImage:Present siglen=128 sigpassed=Yes\n"},
                         others_missing)},
        VerdictCase{"kernel_signed_with_key_2", bundle::family::selda,
                    [] { return std::vector<member>{{"imx35_selda/uImage", kernel},
                                                    {"imx35_selda/uImage.sig", sig(2, kernel)}}; },
                    true,
                    with({"ERROR: signature is not the correct length (128 bytes versus 256 bytes)\n",
                          "INFO:UImage:Present siglen=256 sigpassed=Yes\n"},
                         others_missing)},
        VerdictCase{"kernel_without_signature", bundle::family::selda,
                    [] { return std::vector<member>{{"imx35_selda/uImage", kernel}}; }, false,
                    {"ERROR: signature is not the correct length (128 bytes versus 0 bytes)\n",
                     "ERROR: signature is not the correct length (256 bytes versus 0 bytes)\n",
                     "INFO:UImage:Present siglen=0 sigpassed=NO\n", "WARNING:UImage:SIGNATURE FAILED!\n",
                     "INFO:RootFS:missing\n", "INFO:UBoot:missing\n", "INFO:DiagsFS:missing\n",
                     not_authorised}},
        VerdictCase{"signature_before_its_image", bundle::family::selda,
                    [] { return std::vector<member>{{"imx35_selda/u-boot.bin.sig", sig(1, uboot)},
                                                    {"imx35_selda/u-boot.bin", uboot}}; },
                    true, {"INFO:UImage:missing\n", "INFO:UBoot:Present siglen=128 sigpassed=Yes\n"}},
        VerdictCase{"all_images_each_failure_reported", bundle::family::selda,
                    [] {
                        return std::vector<member>{{"imx35_selda/uImage", kernel},
                                                   {"imx35_selda/uImage.sig", sig(1, uboot)},
                                                   {"rootfs.img.gz", rootfs},
                                                   {"rootfs.img.gz.sig", sig(2, rootfs)},
                                                   {"imx35_selda/u-boot.bin", uboot},
                                                   {"diagsfs.img", uboot},
                                                   {"diagsfs.img.sig", sig(1, uboot)}};
                    },
                    false,
                    {"INFO:UImage:Present siglen=128 sigpassed=NO\n", "WARNING:UImage:SIGNATURE FAILED!\n",
                     "INFO:RootFS:Present siglen=256 sigpassed=Yes\n",
                     "INFO:UBoot:Present siglen=0 sigpassed=NO\n", "WARNING:UBoot:SIGNATURE FAILED!\n",
                     "INFO:DiagsFS:Present siglen=128 sigpassed=Yes\n", not_authorised}},
        VerdictCase{"wildcard_image_name_with_its_own_signature_name", bundle::family::selda,
                    [] { return std::vector<member>{{"rootfs_v2.img.gz", rootfs},
                                                    {"rootfs_v2.img.gz.sig", sig(1, rootfs)}}; },
                    false,
                    {"IGNORING SIGNATURE FILE: rootfs_v2.img.gz.sig\n",
                     "INFO:RootFS:Present siglen=0 sigpassed=NO\n", not_authorised}},
        VerdictCase{"wildcard_image_name_with_the_exact_signature_name", bundle::family::selda,
                    [] { return std::vector<member>{{"rootfs_v2.img.gz", rootfs},
                                                    {"rootfs.img.gz.sig", sig(1, rootfs)}}; },
                    true, {"INFO:RootFS:Present siglen=128 sigpassed=Yes\n"}},
        VerdictCase{"empty_image_is_missing", bundle::family::selda,
                    [] { return std::vector<member>{{"imx35_selda/uImage", ""}}; }, true,
                    with({"INFO:UImage:missing\n"}, others_missing)},
        VerdictCase{"no_members_at_all", bundle::family::selda, [] { return std::vector<member>{}; }, true,
                    with({"INFO:UImage:missing\n"}, others_missing)},
        VerdictCase{"signature_longer_than_512_bytes", bundle::family::selda,
                    [] { return std::vector<member>{{"imx35_selda/uImage", kernel},
                                                    {"imx35_selda/uImage.sig", sig(2, kernel) + sig(2, kernel)}}; },
                    false,
                    {"INFO:imx35_selda/uImage.sig:sig_len=512\n",
                     "INFO:UImage:Present siglen=512 sigpassed=NO\n"}},
        VerdictCase{"key_the_device_does_not_know", bundle::family::selda,
                    [] {
                        // The image signed with key 1 stands in for a foreign key's signature
                        // of another image: the right length, the wrong signer for this data.
                        return std::vector<member>{{"imx35_selda/uImage", kernel},
                                                   {"imx35_selda/uImage.sig", sig(1, kernel + "x")}};
                    },
                    false, {"INFO:UImage:Present siglen=128 sigpassed=NO\n"}},
        // Other families' names.
        VerdictCase{"orvik_top_level_names", bundle::family::orvik,
                    [] { return std::vector<member>{{"uImage", kernel}, {"uImage.sig", sig(1, kernel)},
                                                    {"u-boot.bin", uboot}, {"u-boot.bin.sig", sig(2, uboot)}}; },
                    true,
                    {"INFO:UImage:Present siglen=128 sigpassed=Yes\n",
                     "INFO:UBoot:Present siglen=256 sigpassed=Yes\n"}},
        VerdictCase{"orvik_two_boot_loader_signatures_are_appended", bundle::family::orvik,
                    [] { return std::vector<member>{{"imx31_orvik/u-boot.bin", uboot},
                                                    {"u-boot.bin.sig", sig(1, uboot)},
                                                    {"imx31_orvik/u-boot.bin.sig", sig(1, uboot)}}; },
                    false,
                    {"ERROR: signature is not the correct length (128 bytes versus 256 bytes)\n",
                     "INFO:UBoot:Present siglen=256 sigpassed=NO\n"}},
        VerdictCase{"selda_ignores_orvik_names", bundle::family::selda,
                    [] { return std::vector<member>{{"uImage", kernel}, {"imx31_orvik/u-boot.bin", uboot}}; },
                    true, {"CHK: uImage ", "INFO:UImage:missing\n", "INFO:UBoot:missing\n"}},
        // A second image of a type once let an unsigned image ride along
        // with a signed one: the verdict looked at the last only.
        VerdictCase{"unsigned_image_followed_by_a_signed_one", bundle::family::selda,
                    [] { return std::vector<member>{{"rootfs.img.gz", uboot},
                                                    {"rootfs-real.img.gz", rootfs},
                                                    {"rootfs.img.gz.sig", sig(1, rootfs)}}; },
                    false,
                    {"ERROR:RootFS:bundle holds 2 images of this type, only one is allowed\n",
                     "INFO:RootFS:Present siglen=128 sigpassed=Yes\n", not_authorised}},
        VerdictCase{"signed_image_followed_by_an_unsigned_one", bundle::family::orvik,
                    [] { return std::vector<member>{{"uImage", kernel}, {"uImage.sig", sig(1, kernel)},
                                                    {"imx35_selda/uImage", uboot}}; },
                    false,
                    {"ERROR:UImage:bundle holds 2 images of this type, only one is allowed\n", not_authorised}},
        VerdictCase{"empty_second_image_counts_too", bundle::family::selda,
                    [] { return std::vector<member>{{"imx35_selda/uImage", kernel},
                                                    {"imx35_selda/uImage.sig", sig(1, kernel)},
                                                    {"imx35_selda/uImage", ""}}; },
                    false, {"ERROR:UImage:bundle holds 2 images of this type", not_authorised}}),
    test::ParamName());

TEST(CheckPass, PrintsTheDigestsOfEachImage) {
    // Large enough to arrive in several output blocks.
    const std::string image = test::image_bytes(1300000, 21);
    const test::CheckRun run = test::check_bundle(bundle::make_bundle(
        {{"diagsfs_full.img", image}, {"diagsfs.img.sig", sig(1, image)}}));
    ASSERT_EQ(run.authorised, 1) << run.console;
    const std::string sha = bundle::sha256(image);
    uint8_t md5[16];
    mbedtls_md5_ret(reinterpret_cast<const uint8_t*>(image.data()), image.size(), md5);
    auto hex = [](const uint8_t* p, size_t n) {
        std::string s;
        char two[3];
        for (size_t i = 0; i < n; ++i) {
            std::snprintf(two, sizeof two, "%02x", p[i]);
            s += two;
        }
        return s;
    };
    expect_in_order(run.console,
                    {"CHK: diagsfs_full.img hash for DiagsFS:\n",
                     "MD5: " + hex(md5, 16) + "\n",
                     "SHA256: " + hex(reinterpret_cast<const uint8_t*>(sha.data()), 32) + "\n"});
    EXPECT_EQ(std::memcmp(run.checks[qm::image_diagsfs].sha256, sha.data(), 32), 0);
    EXPECT_EQ(std::memcmp(run.checks[qm::image_diagsfs].md5, md5, 16), 0);
}

TEST(CheckPass, ProgressWeightsOfTheImages) {
    const test::CheckRun run = test::check_bundle(bundle::make_bundle(
        {{"imx35_selda/uImage", kernel}, {"rootfs.img.gz", rootfs}, {"imx35_selda/u-boot.bin", uboot},
         {"notes.txt", "x"}}));
    expect_in_order(run.console, {"INFO:Total progress is 2%\n", "INFO:Total progress is 22%\n",
                                  "INFO:Total progress is 25%\n",
                                  "INFO:Total progress is 25%\n\nCHK: notes.txt "});
    EXPECT_EQ(qm::progress_base, 25u);
    qm::process_state_reset();
}

TEST(CheckPass, EchoesTextMembersLineByLine) {
    const test::CheckRun run = test::check_bundle(bundle::make_bundle(
        {{"update-notes.dat", "a\n\nb\n"}, {"update-x.dat", "no line feed"}}));
    EXPECT_EQ(run.authorised, 1);
    expect_in_order(run.console, {"IGNORING FILE: update-notes.dat\n", "update-notes.dat:a\n",
                                  "update-notes.dat:\n", "update-notes.dat:b\n", "update-notes.dat:EOF\n",
                                  "update-x.dat:no line feed\n", "update-x.dat:EOF\n"});
    EXPECT_FALSE(contains(run.console, "update-notes.dat:\nupdate-notes.dat:\n"));
}

// ---- Tampering with a valid signed bundle ---------------------------------

std::vector<member> signed_members() {
    return {{"imx35_selda/uImage", kernel},
            {"imx35_selda/uImage.sig", sig(1, kernel)},
            {"rootfs.img.gz", rootfs},
            {"rootfs.img.gz.sig", sig(2, rootfs)}};
}

TEST(Tamper, TheUntouchedBundleIsAuthorised) {
    EXPECT_EQ(test::check_bundle(bundle::make_bundle(signed_members())).authorised, 1);
}

struct TamperCase {
    const char* name;
    size_t member;  // which member's data gets one byte flipped
    size_t offset;
};

class TamperMember : public testing::TestWithParam<TamperCase> {};

TEST_P(TamperMember, OneFlippedByteIsRefused) {
    const TamperCase& c = GetParam();
    std::vector<member> members = signed_members();
    members[c.member].data[c.offset] ^= 0x01;
    const test::CheckRun run = test::check_bundle(bundle::make_bundle(members));
    EXPECT_EQ(run.pass, 1);
    EXPECT_EQ(run.authorised, 0);
    EXPECT_PRED2(contains, run.console, not_authorised);
}

INSTANTIATE_TEST_SUITE_P(Bytes, TamperMember,
                         testing::Values(TamperCase{"kernel_first_byte", 0, 0},
                                         TamperCase{"kernel_last_byte", 0, 69999},
                                         TamperCase{"rootfs_middle", 2, 75000},
                                         TamperCase{"kernel_signature", 1, 64},
                                         TamperCase{"rootfs_signature_last_byte", 3, 255}),
                         test::ParamName());

class TamperFile : public testing::TestWithParam<TamperCase> {};

TEST_P(TamperFile, OneFlippedByteOfTheFileIsRefused) {
    const TamperCase& c = GetParam();
    std::string file = bundle::make_bundle(signed_members());
    const size_t at = c.offset < file.size() ? c.offset : file.size() - 1 - (~size_t{0} - c.offset);
    file[at] ^= 0x01;
    const test::CheckRun run = test::check_bundle(file);
    EXPECT_EQ(run.authorised, 0) << run.console;
}

// Offsets past the end count back from it. The payload bytes are spread
// over the gzip header, compressed data and trailer.
INSTANTIATE_TEST_SUITE_P(Bytes, TamperFile,
                         testing::Values(TamperCase{"magic", 0, 1},
                                         TamperCase{"payload_gzip_header", 0, 131072 + 3},
                                         TamperCase{"payload_early", 0, 131072 + 600},
                                         TamperCase{"payload_middle", 0, 131072 + 100000},
                                         TamperCase{"payload_trailer_crc", 0, ~size_t{0} - 5},
                                         TamperCase{"payload_trailer_length", 0, ~size_t{0} - 2}),
                         test::ParamName());

// The header block carries nothing but the magic: its other bytes are
// skipped unread, so changing them changes nothing that is installed.
TEST(Tamper, HeaderBytesAfterTheMagicAreNotInterpreted) {
    std::string file = bundle::make_bundle(signed_members());
    file[4] ^= 0x01;
    file[131071] ^= 0x80;
    EXPECT_EQ(test::check_bundle(file).authorised, 1);
}

}  // namespace

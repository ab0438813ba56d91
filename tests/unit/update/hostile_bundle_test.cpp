// Bundles made to attack the device: each is refused with its message by
// the whole unbundle step of the MMC-boot family, and the MMC is left
// exactly as it was.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "support/param_name.h"
#include "update/install_common.h"

namespace {

using bundle::member;
using test::contains;

const std::string kernel = test::image_bytes(30000, 21);
const std::string uboot = test::image_bytes(9000, 22);
const std::string not_authorised = "ERROR:\n**** THIS BUNDLE IS NOT AUTHORIZED TO INSTALL! ****\n";

std::string sig(const std::string& image) { return test::dev_key(1).sign(image); }

std::vector<member> signed_members() {
    return {{"imx35_selda/uImage", kernel},
            {"imx35_selda/uImage.sig", sig(kernel)},
            {"imx35_selda/u-boot.bin", uboot},
            {"imx35_selda/u-boot.bin.sig", sig(uboot)}};
}

// A tar archive of one member whose header claims claimed bytes while the
// archive holds only the data given.
std::string lying_size_archive(const std::string& name, const std::string& data, uint64_t claimed) {
    std::string archive = bundle::tar_header_block(name, claimed);
    archive += data;
    archive.resize((archive.size() + 511) / 512 * 512, '\0');
    return archive + std::string(1024, '\0');
}

struct UnbundleRun {
    int installed = 0;
    int result = -1;
    std::string console;
    bool mmc_untouched = false;
};

// The MMC-boot family's whole unbundle step (check pass, verdict, install)
// on a small simulated device.
UnbundleRun unbundle(test::SimDevice& device, const std::string& bytes, bool compare = true) {
    const std::string mmc = device.host("mmc0.img");
    const std::string before = compare ? test::read_file(mmc) : "";
    test::write_file(device.host("update.bin"), bytes);
    qm::update_config config{"/dev/mtdblock/1", "/dev/mtd/1", "/dev/mmcblk0p1", "/dev/mtdblock/0", "/dev/mtd/0", 0, nullptr, nullptr};
    UnbundleRun run;
    run.installed = qm::unbundle_selda("/update.bin", &config, &run.result);
    run.console = device.take_console();
    run.mmc_untouched = compare && test::read_file(mmc) == before;
    return run;
}

sim::InitOptions small_device() {
    sim::InitOptions options;
    options.mmc_size = 64ULL << 20;  // the least the simulation makes
    return options;
}

TEST(HostileBundle, TheSignedBundleItselfInstalls) {
    test::SimDevice device(small_device());
    const UnbundleRun run = unbundle(device, bundle::make_bundle(signed_members()));
    EXPECT_EQ(run.installed, 1) << run.console;
    EXPECT_FALSE(run.mmc_untouched);
}

struct HostileCase {
    const char* name;
    std::string (*make)();
    std::vector<std::string> messages;
};

class Hostile : public testing::TestWithParam<HostileCase> {};

TEST_P(Hostile, IsRefusedWithItsMessageAndNothingIsWritten) {
    test::SimDevice device(small_device());
    const UnbundleRun run = unbundle(device, GetParam().make());
    EXPECT_EQ(run.installed, 0);
    EXPECT_EQ(run.result, 4) << run.console;
    for (const std::string& message : GetParam().messages) EXPECT_PRED2(contains, run.console, message);
    EXPECT_FALSE(contains(run.console, "*** UPDATING")) << run.console;
    EXPECT_TRUE(run.mmc_untouched);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Hostile,
    testing::Values(
        HostileCase{"wrong_magic",
                    [] {
                        std::string file = bundle::make_bundle(signed_members());
                        file.replace(0, 4, "FX02");
                        return file;
                    },
                    {"/update.bin:Unrecognized bundle header\n"}},
        HostileCase{"gzip_bomb",
                    [] {
                        // 64 MiB of zeros behind a member header, 64 KiB packed: the
                        // walk inflates it in fixed blocks and stops at its end.
                        std::string archive = bundle::tar_header_block("imx35_selda/uImage", 0xFFFFFE00ULL);
                        std::string zeros(64ULL << 20, '\0');
                        return bundle::wrap_payload(bundle::gzip(archive + zeros, 9));
                    },
                    {"/update.bin:tar error:truncated\n"}},
        HostileCase{"size_field_larger_than_the_file",
                    [] {
                        return bundle::wrap_payload(
                            bundle::gzip(lying_size_archive("imx35_selda/uImage", kernel, 1000000)));
                    },
                    {"/update.bin:tar error:truncated\n"}},
        HostileCase{"path_tricks",
                    [] {
                        // Names are never paths on the device: these are signatures
                        // of no image, and a root file system image without one.
                        return bundle::make_bundle({{"../imx35_selda/uImage", kernel},
                                                    {"../imx35_selda/uImage.sig", sig(kernel)},
                                                    {"/imx35_selda/u-boot.bin", uboot},
                                                    {"/imx35_selda/u-boot.bin.sig", sig(uboot)},
                                                    {"rootfs/../../dev/mmcblk0.img.gz", kernel}});
                    },
                    {"IGNORING SIGNATURE FILE: ../imx35_selda/uImage.sig\n",
                     "IGNORING SIGNATURE FILE: /imx35_selda/u-boot.bin.sig\n",
                     "INFO:RootFS:Present siglen=0 sigpassed=NO\n", not_authorised}},
        HostileCase{"signature_of_600_bytes",
                    [] {
                        return bundle::make_bundle({{"imx35_selda/uImage", kernel},
                                                    {"imx35_selda/uImage.sig", sig(kernel) + std::string(472, 'x')}});
                    },
                    // Only the room for the longest key's signature is kept.
                    {"INFO:imx35_selda/uImage.sig:sig_len=512\n",
                     "ERROR: signature is not the correct length (128 bytes versus 512 bytes)\n", not_authorised}},
        HostileCase{"valid_signature_of_another_image",
                    [] {
                        return bundle::make_bundle({{"imx35_selda/uImage", kernel},
                                                    {"imx35_selda/uImage.sig", sig(uboot)}});
                    },
                    {"WARNING:UImage:SIGNATURE FAILED!\n", not_authorised}}),
    test::ParamName());

// The signature of a type is the bytes of all its signature members,
// joined in archive order. One signature split over two members still
// verifies (the bytes must still be the key's signature of the image);
// two whole signatures of one type join into bytes no key verifies.
struct SignatureMembersCase {
    const char* name;
    std::vector<std::string> parts;  // the signature members of the kernel, in order
    int installed;
    std::string message;
};

class SignatureMembers : public testing::TestWithParam<SignatureMembersCase> {};

TEST_P(SignatureMembers, AreJoinedInArchiveOrder) {
    const SignatureMembersCase& c = GetParam();
    std::vector<member> members = {{"imx35_selda/uImage", kernel}};
    for (const std::string& part : c.parts) members.push_back({"imx35_selda/uImage.sig", part});
    test::SimDevice device(small_device());
    const UnbundleRun run = unbundle(device, bundle::make_bundle(members), false);
    EXPECT_EQ(run.installed, c.installed) << run.console;
    EXPECT_PRED2(contains, run.console, c.message);
}

const std::string key2_sig = test::dev_key(2).sign(kernel);

INSTANTIATE_TEST_SUITE_P(Splits, SignatureMembers,
                         testing::Values(SignatureMembersCase {"one_signature_in_two_members",
                                                               {key2_sig.substr(0, 100), key2_sig.substr(100)},
                                                               1,
                                                               "INFO:UImage:Present siglen=256 sigpassed=Yes\n"},
                                         SignatureMembersCase {"halves_in_the_wrong_order",
                                                               {key2_sig.substr(100), key2_sig.substr(0, 100)},
                                                               0,
                                                               not_authorised},
                                         SignatureMembersCase {
                                             "two_whole_signatures", {sig(kernel), sig(kernel)}, 0, not_authorised}),
                         test::ParamName());

TEST(HostileBundle, CutAtEveryBlockBoundaryIsRefusedAndNothingIsWritten) {
    test::SimDevice device(small_device());
    const std::string whole = bundle::make_bundle(signed_members());
    const std::string mmc = device.host("mmc0.img");
    const std::string before = test::read_file(mmc);
    // Every 8 KiB of the header block, then every tar block's worth of the payload.
    std::vector<size_t> cuts;
    for (size_t cut = 0; cut < qm::bundle_header_size; cut += 8192) cuts.push_back(cut);
    for (size_t cut = qm::bundle_header_size; cut < whole.size(); cut += 512) cuts.push_back(cut);
    for (const size_t cut : cuts) {
        const UnbundleRun run = unbundle(device, whole.substr(0, cut), false);
        EXPECT_EQ(run.installed, 0) << "cut at " << cut;
        EXPECT_EQ(run.result, 4) << "cut at " << cut;
        const bool said_why = contains(run.console, "No data available") || contains(run.console, "truncated") ||
                              contains(run.console, not_authorised);
        EXPECT_TRUE(said_why) << "cut at " << cut << ":\n" << run.console;
        EXPECT_FALSE(contains(run.console, "*** UPDATING")) << "cut at " << cut;
    }
    EXPECT_EQ(test::read_file(mmc), before);
}

}  // namespace

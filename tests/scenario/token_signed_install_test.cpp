// A bundle whose images were signed inside a PKCS#11 token (a SoftHSM2 token
// holding the keys this build embeds) found, checked and installed by a
// simulated reader.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/install_fixture.h"
#include "support/softhsm_token.h"

namespace {

// Where the MMC-boot family keeps its boot loader, kernel and partition 1.
constexpr uint64_t uboot_at = 3072;
constexpr uint64_t kernel_at = 266240;
constexpr uint64_t rootfs_at = 7688ULL * 512;

TEST(TokenSignedBundle, InstallsOnASimulatedReader) {
    if (!QM_HAVE_PKCS11) GTEST_SKIP() << "this build has no PKCS#11 support";
    test::SoftHsmToken token("release");
    token.import_key(std::string(QM_SOURCE_DIR) + "/keys/dev-key1-rsa1024.pem", "key1", "01");
    token.import_key(std::string(QM_SOURCE_DIR) + "/keys/dev-key2-rsa2048.pem", "key2", "02");
    ASSERT_EQ(::setenv("SOFTHSM2_CONF", token.config().c_str(), 1), 0);

    test::UpdateDevice device;
    const std::string uboot = device.random_file("u-boot.bin", 70000, 31);
    const std::string kernel = device.random_file("uImage", 90000, 32);
    std::string rootfs_plain;
    const std::string rootfs = device.rootfs_image("rootfs.img", &rootfs_plain);
    test::write_file(device.work("pin"), std::string(test::SoftHsmToken::pin) + "\n");
    const std::string bundle = device.bundle(
        "update.bin", {{"imx35_selda/u-boot.bin", uboot}, {"imx35_selda/uImage", kernel}, {"rootfs.img.gz", rootfs}},
        {"--pkcs11-module", test::SoftHsmToken::module(), "--pin-file", device.work("pin"), "--key",
         "'pkcs11:token=release;object=key1'", "--key", "'pkcs11:token=release;object=key2'"});
    ::unsetenv("SOFTHSM2_CONF");

    device.drop(bundle, "update.bin");
    const auto run = device.boot();
    // The boot loader was signed with key 1, the kernel with key 2.
    EXPECT_NE(run.find("INFO:UBoot:Present siglen=128 sigpassed=Yes\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("INFO:UImage:Present siglen=256 sigpassed=Yes\n"), std::string::npos);
    EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos);
    EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag written \"0\\n\")");
    const std::string mmc = device.path("mmc0.img");
    for (const auto& [file, at] : {std::pair{uboot, uboot_at}, std::pair{kernel, kernel_at},
                                   std::pair{rootfs_plain, rootfs_at}}) {
        const std::string bytes = test::read_file(file);
        EXPECT_EQ(test::file_bytes(mmc, at, bytes.size()), bytes) << file;
    }
}

}  // namespace

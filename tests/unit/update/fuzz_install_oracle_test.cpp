// The first-promise fuzz target driven by hand with three inputs, to check
// its oracle: it must look at the storage of the device the unbundle step
// ran on, and a long run must not keep every console line it ever saw.
#define QM_DEV_KEY1 QM_KEYS_DIR "/dev-key1-rsa1024.pem"
#include "fuzz/fuzz_install.cpp"

#include <gtest/gtest.h>

namespace {

// An input of the target: a family and one signed kernel member.
std::string kernel_input(bool nor, const std::string& name, const std::string& kernel) {
    std::string input;
    input += static_cast<char>(nor ? 1 : 0);
    input += static_cast<char>(1);  // a signed image
    input += static_cast<char>(name.size());
    input += name;
    input += static_cast<char>(kernel.size() & 0xff);
    input += static_cast<char>(kernel.size() >> 8);
    input += kernel;
    return input;
}

void run(const std::string& input) {
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
}

TEST(FuzzInstallOracle, WatchesTheReaderTheUnbundleStepRanOn) {
    const std::string first(2000, 'A');
    const std::string second(2000, 'C');
    const std::string mmc_kernel = kernel_input(false, "imx35_selda/uImage", first);

    // The same MMC-boot input twice: each input starts with an empty console.
    run(mmc_kernel);
    const size_t once = reader(family::selda).console().size();
    run(mmc_kernel);
    EXPECT_LE(reader(family::selda).console().size(), once)
        << "the console keeps the lines of every earlier input and grows for as long as the fuzzer runs";

    // A NOR input makes the second reader; an MMC-boot input after it must
    // still run on (and be judged on) the MMC-boot reader.
    run(kernel_input(true, "uImage", std::string(2000, 'B')));
    run(kernel_input(false, "imx35_selda/uImage", second));
    const std::string installed = test::read_file(reader(family::selda).host("mmc0.img")).substr(266240, second.size());
    EXPECT_TRUE(installed == second)
        << "the MMC-boot input did not reach the MMC-boot reader: the unbundle step ran on the other reader, "
           "so the oracle compared snapshots of a device nothing wrote to";
}

}  // namespace

#include "boot/handoff.h"

#include <gtest/gtest.h>

#include "boot/process_state.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "boot/nfs.h"
#include "display/eink.h"
#include "input/keypad.h"
#include "platform/boardid.h"
#include "sim/modules.h"
#include "storage/gadget.h"
#include "support/param_name.h"
#include "support/simkernel.h"

namespace {

std::string run_until_end(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::runtime_error& end) {
        return end.what();
    }
    return "returned";
}

class Reboot : public testing::Test {
protected:
    void SetUp() override {
        device.kernel().mount("proc", "/proc", "proc", 0, "");
        test::write_file(device.host("proc/bootglobals/kernel_boot_flag"), "1\n");
    }
    std::string flag() const { return test::read_file(device.host("proc/bootglobals/kernel_boot_flag")); }

    test::SimDevice device;
};

TEST_F(Reboot, CleanRebootSelectsThePrimaryKernelAfterTenSeconds) {
    EXPECT_EQ(run_until_end([] { qm::quillmar_shutdown(1); }),
              "run ended: reboot (kernel_boot_flag written \"0\\n\")");
    EXPECT_EQ(flag(), "0\n");
    const std::string console = device.console();
    EXPECT_EQ(console.rfind("INFO:Rebooting ... \nPlease wait ... /\b-\b\\\b|\b/\b", 0), 0u) << console;
    EXPECT_NE(console.find("|\b \nSetting bootglobals primary/secondary kernel to 0\n"), std::string::npos);
    EXPECT_NE(console.find("=== kernel printk buffer"), std::string::npos);
    EXPECT_EQ(device.kernel().clock().now(), 10 * sim::one_second);
}

TEST_F(Reboot, FailOverRebootLeavesTheFlagAlone) {
    EXPECT_EQ(run_until_end([] { qm::quillmar_shutdown(0); }), "run ended: reboot (kernel_boot_flag untouched)");
    EXPECT_EQ(flag(), "1\n");
    EXPECT_EQ(device.console().rfind("INFO:Rebooting ... failing over to alternate kernel\nPlease wait ... ", 0), 0u);
    EXPECT_EQ(device.console().find("Setting bootglobals"), std::string::npos);
    EXPECT_EQ(device.kernel().clock().now(), 10 * sim::one_second);
}

TEST_F(Reboot, UnwritableFlagIsReportedAndTheRebootGoesOn) {
    device.kernel().umount2("/proc", 0);
    EXPECT_EQ(run_until_end([] { qm::quillmar_shutdown(1); }), "run ended: reboot (kernel_boot_flag untouched)");
    EXPECT_NE(device.console().find("ERROR:/proc/bootglobals/kernel_boot_flag:No such file or directory(2)\n"),
              std::string::npos);
}

TEST_F(Reboot, FailedFlagWriteIsReportedAndTheRebootGoesOn) {
    std::string error;
    device.kernel().faults().add(*sim::parse_fault("eio:/proc/bootglobals/kernel_boot_flag", error));
    EXPECT_EQ(run_until_end([] { qm::quillmar_shutdown(1); }), "run ended: reboot (kernel_boot_flag untouched)");
    const std::string console = device.console();
    const size_t setting = console.find("Setting bootglobals primary/secondary kernel to 0\n");
    ASSERT_NE(setting, std::string::npos) << console;
    EXPECT_NE(console.find("ERROR:/proc/bootglobals/kernel_boot_flag:Input/output error(5)\n"
                           "WARNING:The primary kernel was not selected; the boot loader keeps its own choice\n",
                           setting),
              std::string::npos)
        << console;
    EXPECT_EQ(flag(), "1\n");
}

struct RefusalCase {
    const char* name;
    const char* refusals;
    const char* end;
    int restart_requests;
};

class RefusedReboot : public Reboot, public testing::WithParamInterface<RefusalCase> {};

// A refused restart is said and asked for again; after three refusals the
// device powers off, and only a refused power-off returns to the caller.
TEST_P(RefusedReboot, IsAskedForAgainThenTheDevicePowersOff) {
    std::string error;
    device.kernel().faults().add(*sim::parse_fault(std::string("reboot-fails:") + GetParam().refusals, error));
    EXPECT_EQ(run_until_end([] { qm::quillmar_shutdown(0); }), GetParam().end);
    const std::string console = device.console();
    size_t refusals = 0;
    for (size_t at = console.find("ERROR:reboot:Operation not permitted(1)\n"); at != std::string::npos;
         at = console.find("ERROR:reboot:", at + 1))
        ++refusals;
    EXPECT_EQ(refusals, static_cast<size_t>(GetParam().restart_requests)) << console;
    const bool powering_off = GetParam().restart_requests == 3;
    EXPECT_EQ(console.find("EMERGENCY:The restart was refused 3 times; powering off ...\n") != std::string::npos,
              powering_off)
        << console;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusedReboot,
    testing::Values(RefusalCase{"once", "1", "run ended: reboot (kernel_boot_flag untouched)", 1},
                    RefusalCase{"three_times", "3", "run ended: power-off", 3},
                    RefusalCase{"power_off_too", "4", "returned", 3}),
    test::ParamName());

// The hand-off tears the recovery environment down in a fixed order, with
// its two screens between, and only then replaces the process.
TEST(HandOff, TearsDownKeypadStorageAndPanelThenProcThenExecs) {
    test::SimDevice device;
    auto& k = device.kernel();
    k.mount("proc", "/proc", "proc", 0, "");
    k.mount("sysfs", "/sys", "sysfs", 0, "");
    (void)qm::boardid_init();
    (void)qm::keypad_init();
    ASSERT_EQ(qm::storage_init(), 0);
    ASSERT_EQ(qm::eink_init(), 1);
    device.take_console();
    EXPECT_EQ(run_until_end([] { qm::default_boot(); }), "run ended: exec /bin/kinit");
    const std::string log = k.klog().text();
    const std::vector<std::string> order = {
        "mxc_keyb: module unloaded",     "built-in screen 26",         "g_file_storage: module unloaded",
        "arcotg_udc: module unloaded",   "built-in screen 20",         "eink_fb_shim: module unloaded",
        "eink_fb_hal: module unloaded",  "unmounted /proc"};
    size_t at = 0;
    for (const auto& step : order) {
        const size_t found = log.find(step, at);
        ASSERT_NE(found, std::string::npos) << step << " after position " << at << "\n" << log;
        at = found;
    }
    EXPECT_EQ(device.console().find("BOOTING DEFAULT.\n"), 0u) << device.console();
    EXPECT_FALSE(k.mounts().mounted_on("/proc"));
    EXPECT_TRUE(k.passed_on_exec().empty()) << "kinit inherits no descriptor of ours";
    qm::process_state_reset();
}

// The network boot runs on a board of the MMC-boot family, whose USB
// gadget modules the device carries.
class NetworkBoot : public testing::Test {
protected:
    void SetUp() override {
        device.kernel().mount("proc", "/proc", "proc", 0, "");
        (void)qm::boardid_init();
        device.take_console();
    }
    test::SimDevice device;
};

TEST_F(NetworkBoot, UnconfiguredLinkStopsAfterIpconfig) {
    std::remove(device.host("lib/modules/g_ether.ko").c_str());
    EXPECT_EQ(qm::nfs_boot(), 0);
    const std::string console = device.console();
    EXPECT_EQ(console.substr(console.size() - 21), "ipconfig: retval = 1\n") << console;
    EXPECT_EQ(console.find("Attempt"), std::string::npos);
    const std::string log = device.kernel().klog().text();
    EXPECT_NE(log.find("sh -c ipconfig -d nfsaddrs=192.168.15.201:192.168.15.1:192.168.15.1:255.255.255.0:"
                       "quillmar:usb0\n"),
              std::string::npos)
        << log;
}

TEST_F(NetworkBoot, UnreachableServerGetsTenAttemptsTwoSecondsApart) {
    const sim::Micros start = device.kernel().clock().now();
    EXPECT_EQ(qm::nfs_boot(), 0);
    EXPECT_TRUE(device.kernel().modules().loaded("g_ether"));
    std::string expected =
        "  Make sure the Ethernet interface is configured on your host machine.\n"
        "  And also make sure that '/exports/orvik_root' has been exported.\n";
    for (int attempt = 0; attempt < 10; ++attempt)
        expected += "Attempt #" + std::to_string(attempt) + " to NFS mount...\nnfsmount: retval = 1\n";
    expected += "nfs_boot: Failed to mount NFS on /root: retval=1\n";
    const std::string console = device.console();
    ASSERT_GE(console.size(), expected.size());
    EXPECT_EQ(console.substr(console.size() - expected.size()), expected);
    EXPECT_EQ(device.kernel().clock().now() - start, 20 * sim::one_second);
}

}  // namespace

#include "storage/gadget.h"

#include <gtest/gtest.h>

#include "boot/process_state.h"
#include <sys/stat.h>

#include <cstdio>

#include "platform/boardid.h"
#include "sim/dev/usb.h"
#include "support/simkernel.h"

namespace {

sim::InitOptions board(const char* id) {
    sim::InitOptions options;
    options.board_id = id;
    return options;
}

class Gadget : public testing::Test {
protected:
    explicit Gadget(const sim::InitOptions& options = {}) : device_(options) {
        kernel().mount("proc", "/proc", "proc", 0, "");
        kernel().mount("sysfs", "/sys", "sysfs", 0, "");
        (void)qm::boardid_init();
    }
    ~Gadget() override { qm::process_state_reset(); }
    sim::Kernel& kernel() { return device_.kernel(); }
    sim::UsbController& usb() { return kernel().state<sim::UsbController>(); }
    bool has(const std::string& text) { return device_.console().find(text) != std::string::npos; }

    test::SimDevice device_;
};

TEST_F(Gadget, ExportBeforeInitIsRefused) {
    EXPECT_EQ(qm::storage_export("/dev/mmcblk0"), -22);
    EXPECT_EQ(device_.take_console(), "INFO:storage_export: Must call storage_init before using usb storage\n");
    EXPECT_TRUE(usb().file_writes().empty());
}

TEST_F(Gadget, InitLoadsTheFamilyModulesOnce) {
    EXPECT_EQ(qm::storage_init(), 0);
    EXPECT_TRUE(kernel().modules().loaded("arcotg_udc"));
    EXPECT_TRUE(kernel().modules().loaded("g_file_storage"));
    EXPECT_FALSE(kernel().modules().loaded("charger"));
    device_.take_console();
    EXPECT_EQ(qm::storage_init(), 0);
    EXPECT_EQ(device_.take_console(), "");
}

TEST_F(Gadget, FailedLoadLeavesTheFlagClear) {
    std::remove(device_.host("lib/modules/g_file_storage.ko").c_str());
    EXPECT_EQ(qm::storage_init(), -5);
    EXPECT_TRUE(has("ERROR:storage_init: failed to load module '/lib/modules/g_file_storage.ko' with args ''\n"));
    EXPECT_EQ(qm::g_storage_initialized, 0);
    device_.take_console();
    // The next attempt starts again from the first module, which the
    // kernel still holds.
    EXPECT_EQ(qm::storage_init(), -5);
    EXPECT_TRUE(has("ERROR:storage_init: failed to load module '/lib/modules/arcotg_udc.ko' with args ''\n"));
}

TEST_F(Gadget, ExportChecksThePath) {
    ASSERT_EQ(qm::storage_init(), 0);
    ASSERT_EQ(::mkdir(device_.host("exports").c_str(), 0755), 0);
    ASSERT_EQ(::chmod(device_.host("exports").c_str(), 0755), 0);
    device_.take_console();

    EXPECT_EQ(qm::storage_export("/exports"), 22);
    EXPECT_EQ(device_.take_console(), "ERROR:storage_export(/exports): Invalid mode 0x000041ed\n");
    EXPECT_EQ(qm::storage_export("/missing.img"), 2);
    EXPECT_EQ(device_.take_console(),
              "ERROR:storage_export(/missing.img): stat error: No such file or directory (2)\n");
    EXPECT_TRUE(usb().file_writes().empty());
}

TEST_F(Gadget, ExportAndWithdraw) {
    ASSERT_EQ(qm::storage_init(), 0);
    device_.take_console();
    EXPECT_EQ(qm::storage_export("/dev/mmcblk0"), 0);
    EXPECT_EQ(device_.take_console(), "INFO:storage_export(/dev/mmcblk0): exporting\n");
    ASSERT_EQ(usb().file_writes().size(), 1u);
    EXPECT_EQ(usb().file_writes()[0], std::string("/dev/mmcblk0", 13));
    EXPECT_EQ(usb().backing_file(), "/dev/mmcblk0");

    EXPECT_EQ(qm::storage_export(nullptr), 0);
    EXPECT_EQ(device_.take_console(), "INFO:storage_export(): Disabling USB storage\n");
    ASSERT_EQ(usb().file_writes().size(), 2u);
    EXPECT_EQ(usb().file_writes()[1], std::string(1, '\0'));
    EXPECT_EQ(usb().backing_file(), "");
}

TEST_F(Gadget, ExportFailsWhenTheUnitRefusesTheFile) {
    ASSERT_EQ(qm::storage_init(), 0);
    kernel().modules().remove("g_file_storage");
    device_.take_console();
    EXPECT_EQ(qm::storage_export("/dev/mmcblk0"), 2);
    EXPECT_TRUE(has("ERROR:gadget_storage_set(/dev/mmcblk0): open error: No such file or directory (2)\n"));
}

TEST_F(Gadget, OnlineFollowsTheHostAndTheExport) {
    EXPECT_EQ(qm::is_usb_storage_online(), 0);
    ASSERT_EQ(qm::storage_init(), 0);
    usb().set_host(true);
    EXPECT_EQ(qm::is_usb_storage_online(), 0);
    (void)qm::storage_export("/dev/mmcblk0");
    EXPECT_EQ(qm::is_usb_storage_online(), 1);
    EXPECT_EQ(qm::is_usb_connected(), 1);
    usb().set_cable(false);
    EXPECT_EQ(qm::is_usb_storage_online(), 0);
    EXPECT_EQ(qm::is_usb_connected(), 0);
    EXPECT_EQ(device_.console().find("ERROR"), std::string::npos) << device_.console();
}

TEST_F(Gadget, ShutdownWithoutInitDoesNothing) {
    device_.take_console();
    qm::storage_shutdown();
    EXPECT_EQ(device_.take_console(), "");
}

TEST_F(Gadget, ReportSync) {
    qm::report_sync();
    EXPECT_EQ(device_.take_console(),
              "\n(you should have already synced any attached USB hosts)\nSyncing... Complete!\n\n\n");
}

class NorGadget : public Gadget {
protected:
    NorGadget() : Gadget(board("F12300")) {}
};

TEST_F(NorGadget, UnloadsLastModuleFirst) {
    ASSERT_EQ(qm::storage_init(), 0);
    EXPECT_EQ(kernel().modules().all().at("arcotg_udc"), "recovery_mode=1 force_fs=1");
    qm::storage_shutdown();
    const std::string& log = kernel().klog().text();
    const auto storage = log.find("g_file_storage: module unloaded");
    const auto udc = log.find("arcotg_udc: module unloaded");
    const auto charger = log.find("charger: module unloaded");
    ASSERT_NE(charger, std::string::npos) << log;
    EXPECT_LT(storage, udc);
    EXPECT_LT(udc, charger);
    // The drivers are gone: a run that goes on (a failed hand-off) loads
    // them again instead of exporting into a missing gadget.
    EXPECT_EQ(qm::g_storage_initialized, 0);
    ASSERT_EQ(qm::storage_init(), 0);
    EXPECT_TRUE(kernel().modules().loaded("g_file_storage"));
}

TEST_F(NorGadget, ExportsThroughTheArcController) {
    ASSERT_EQ(qm::storage_init(), 0);
    usb().set_host(true);
    EXPECT_EQ(qm::storage_export("/dev/mmcblk0"), 0);
    EXPECT_EQ(usb().udc_name(), "arc_udc");
    EXPECT_EQ(qm::is_usb_storage_online(), 1);
}

TEST_F(NorGadget, EthernetGadgetGetsBothAddresses) {
    EXPECT_EQ(qm::gadget_load_ethernet("EE4900000000", "EE1900000000"), 1);
    EXPECT_EQ(kernel().modules().all().at("g_ether"), "host_addr='EE4900000000' dev_addr='EE1900000000'");
    EXPECT_EQ(qm::gadget_load_ethernet("EE4900000000", "EE1900000000"), 0);
    EXPECT_TRUE(has("gadget_load_ethernet: Could not load Ethernet gadget module\n"));
}

class UnknownBoardGadget : public Gadget {
protected:
    UnknownBoardGadget() : Gadget(board("Z1")) {}
};

TEST_F(UnknownBoardGadget, NeitherFamilyIsRefused) {
    EXPECT_EQ(qm::storage_init(), -22);
    EXPECT_EQ(device_.take_console(), "ERROR:storage_init: you are not orvik or selda. I don't know what to do\n");
    EXPECT_EQ(qm::gadget_load_ethernet("a", "b"), -22);
}

}  // namespace

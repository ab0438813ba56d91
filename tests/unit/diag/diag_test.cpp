#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <regex>

#include "diag/cat.h"
#include "diag/dmesg.h"
#include "diag/dprintf.h"
#include "diag/dumpversion.h"
#include "diag/ls.h"
#include "support/simkernel.h"
#include "sys/linux_kernel.h"

namespace {

TEST(VersionBanner, ShowsKernelFieldsAndClockInMegahertz) {
    test::SimDevice device;
    device.kernel().mount("proc", "/proc", "proc", 0, "");
    test::write_file(device.host("proc/cpu/clocks"), "ahb_clk-0: 133000000\nmcu_main_clk-0: 532000000\n");
    qm::dump_version_info();
    EXPECT_EQ(device.take_console(), "2.6.35-quillmar-sim #1 PREEMPT Thu Dec 10 02:00:00 UTC 2026 armv7l 532MHz\n");

    test::write_file(device.host("proc/cpu/clocks"), "ahb_clk-0: 133000000\nmcu_main_clk-1: 1\n");
    qm::dump_version_info();
    EXPECT_EQ(device.take_console(), "2.6.35-quillmar-sim #1 PREEMPT Thu Dec 10 02:00:00 UTC 2026 armv7l\n");
}

TEST(VersionBanner, LastMatchingClockLineWinsAndMissingFileGivesMinusOne) {
    test::SimDevice device;
    EXPECT_EQ(qm::get_cpu_mhz(), -1);  // /proc not mounted yet
    device.kernel().mount("proc", "/proc", "proc", 0, "");
    test::write_file(device.host("proc/cpu/clocks"), "mcu_main_clk-0:100\nmcu_main_clk-0: 400000000\nnoise\n");
    EXPECT_EQ(qm::get_cpu_mhz(), 400000000);
}

TEST(KernelMessages, DumpIsFramedAndNegativeDescriptorMeansStandardOutput) {
    test::SimDevice device;
    device.kernel().klog().klogctl(5, nullptr, 0);
    device.kernel().klog().log("hello from the kernel");
    const std::string log = device.kernel().klog().text();
    qm::dmesg_display(-1);
    EXPECT_EQ(device.console(), "\n=== kernel printk buffer (" + std::to_string(log.size()) + " bytes) ===\n" + log +
                                    "\n=== END ===\n");
}

TEST(DescriptorPrinter, CutsAt511Characters) {
    test::SimDevice device;
    const std::string long_text(600, 'x');
    EXPECT_EQ(qm::dprintf(1, "%s", long_text.c_str()), 600);
    EXPECT_EQ(device.console(), std::string(511, 'x'));
}

TEST(FilePrinter, CopiesWithBannerAndReportsMissingFiles) {
    test::SimDevice device;
    test::write_file(device.host("notes.txt"), "one\ntwo\n");
    EXPECT_EQ(qm::cat("/notes.txt", 1), 1);
    EXPECT_EQ(device.take_console(), "[/notes.txt]\none\ntwo\n<EOF>\n");
    EXPECT_EQ(qm::cat("/missing", 0), 0);
    EXPECT_EQ(device.take_console(), "ERROR:/missing:No such file or directory(2)\n");
    EXPECT_EQ(qm::cat(nullptr, 1), 0);
}

// The listers run on the real kernel here, over a directory holding a
// device node and a symbolic link.
class DirectoryListing : public testing::Test {
protected:
    void SetUp() override {
        sys::install(linux_kernel);
        char pattern[] = "/tmp/quillmar-ls-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_EQ(::mknod((dir + "/null").c_str(), S_IFCHR | 0620, makedev(1, 3)), 0);
        ASSERT_EQ(::mknod((dir + "/wide").c_str(), S_IFBLK | 0600, makedev(259, 300)), 0);
        ASSERT_EQ(::chmod((dir + "/null").c_str(), 0620), 0);  // past the umask
        ASSERT_EQ(::symlink("target/file", (dir + "/link").c_str()), 0);
        const int fd = ::open((dir + "/data").c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_EQ(::fchmod(fd, 0640), 0);
        ASSERT_EQ(::write(fd, "12345", 5), 5);
        ::close(fd);
    }
    void TearDown() override {
        for (const char* name : {"null", "wide", "link", "data"}) ::unlink((dir + "/" + name).c_str());
        ::rmdir(dir.c_str());
    }

    std::string capture(bool trailing_slash) {
        int pipe_fds[2];
        EXPECT_EQ(::pipe(pipe_fds), 0);
        const int saved = ::dup(1);
        ::dup2(pipe_fds[1], 1);
        ::close(pipe_fds[1]);
        EXPECT_EQ(qm::ls_dir((dir + (trailing_slash ? "/" : "")).c_str()), 1);
        ::dup2(saved, 1);
        ::close(saved);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
        ::close(pipe_fds[0]);
        return text;
    }

    sys::LinuxKernel linux_kernel;
    std::string dir;
};

TEST_F(DirectoryListing, ShowsDeviceNumbersLinkTargetsAndSizes) {
    const std::string text = capture(false);
    EXPECT_EQ(text.substr(0, dir.size() + 2), dir + ":\n");
    EXPECT_TRUE(std::regex_search(text, std::regex("\ncrw--w----  +1 +0 +0   1,  3 " + dir + "/null\n"))) << text;
    // Minor numbers above 255 live in the high bits of the device number.
    EXPECT_TRUE(std::regex_search(text, std::regex("\nbrw-------  +1 +0 +0 259,300 " + dir + "/wide\n"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\nlrwxrwxrwx  +1 +0 +0      11 " + dir + "/link -> target/file\n")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex("\n-rw-r-----  +1 +0 +0       5 " + dir + "/data\n"))) << text;
    EXPECT_NE(text.find(" " + dir + "/.\n"), std::string::npos);
    EXPECT_NE(text.find(" " + dir + "/..\n"), std::string::npos);
}

TEST_F(DirectoryListing, TrailingSlashGivesTheSamePaths) {
    // The ".." line describes the shared temporary folder, whose link count
    // other programs change between the two listings: leave it out.
    const auto without_parent = [](std::string text) {
        const size_t at = text.rfind('\n', text.find("/..\n"));
        if (at != std::string::npos) text.erase(at, text.find('\n', at + 1) - at);
        return text;
    };
    const std::string plain = without_parent(capture(false));
    const std::string slashed = without_parent(capture(true));
    EXPECT_EQ(slashed.substr(dir.size() + 3), plain.substr(dir.size() + 2));
    EXPECT_EQ(slashed.find("//"), std::string::npos);
}

TEST(Listers, UnreadableEntriesAndDirectories) {
    test::SimDevice device;
    // An unreadable path is still listed, with an all-zero status, as ls_dir
    // lists an unreadable entry.
    EXPECT_EQ(qm::ls_file("/nothing"), 0);
    EXPECT_EQ(qm::ls_dir("/nothing"), 0);
    EXPECT_EQ(device.console(), "ERROR:/nothing:No such file or directory(2)\n"
                                "?---------  0     0     0       0 /nothing\n"
                                "ERROR:/nothing:No such file or directory(2)\n");
    struct stat zero {};
    EXPECT_EQ(qm::dump_stat("x", nullptr, &zero), 0);
    EXPECT_EQ(qm::dump_stat("x", "/x", nullptr), 0);
}

}  // namespace

// update-log.txt on the user store: every way an update attempt ends leaves
// its log, read back here with its head and its bound; a store without
// room gets nothing and loses nothing; the developer menu shows the log.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fnmatch.h>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/install_fixture.h"
#include "support/param_name.h"

namespace {

const std::string press_r = "60 console R\n";
const std::string owners_book = "a book the owner keeps\n";
// The console part of a log at most, and room for its head.
constexpr size_t console_bound = 64 * 1024;
constexpr size_t head_bound = 4096;

bool exists(const std::string& path) { return std::fopen(path.c_str(), "r") != nullptr; }

std::set<std::string> names_in(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* listing = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(listing))
            if (entry->d_name[0] != '.') names.insert(entry->d_name);
        ::closedir(listing);
    }
    return names;
}

std::string sha256_of(const std::string& path) {
    test::TempDir dir;
    EXPECT_EQ(std::system(("sha256sum '" + path + "' | cut -c1-64 > '" + (dir / "sum") + "'").c_str()), 0);
    std::string sum = test::read_file(dir / "sum");
    while (!sum.empty() && sum.back() == '\n') sum.pop_back();
    return sum;
}

// A log read back: its head as "key: value" lines (a key may repeat), and
// its console part.
struct Log {
    std::string text;
    std::multimap<std::string, std::string> head;
    std::string console;

    std::string operator[](const std::string& key) const {
        const auto found = head.find(key);
        return found != head.end() ? found->second : "(no " + key + " line)";
    }
};

Log read_log(const std::string& path) {
    Log log;
    log.text = test::read_file(path);
    const size_t blank = log.text.find("\r\n\r\n");
    if (blank == std::string::npos) return log;
    log.console = log.text.substr(blank + 4);
    const std::string head = log.text.substr(0, blank + 2);
    for (size_t start = 0, end; (end = head.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = head.substr(start, end - start);
        const size_t colon = line.find(": ");
        if (colon == std::string::npos) continue;
        log.head.emplace(line.substr(0, colon), line.substr(line.find_first_not_of(' ', colon + 1)));
    }
    return log;
}

// What every log must be: CR LF line ends only, nothing but text, its first
// line, the reader's identity, and the bound.
void expect_well_formed(const Log& log) {
    EXPECT_EQ(log.text.rfind("quillmar update log\r\n", 0), 0u) << log.text.substr(0, 200);
    for (size_t i = 0; i < log.text.size(); ++i) {
        const auto c = static_cast<unsigned char>(log.text[i]);
        const bool well = c == '\n'   ? i > 0 && log.text[i - 1] == '\r'
                          : c == '\r' ? i + 1 < log.text.size() && log.text[i + 1] == '\n'
                                      : c >= 0x20 || c == '\t';
        EXPECT_TRUE(well) << "byte " << int(c) << " at " << i;
    }
    EXPECT_EQ(log["family"], "MMC-boot");
    EXPECT_EQ(log["board"], "P1A0230000000000");
    EXPECT_EQ(log["program"], std::string("quillmar ") + QM_VERSION);
    EXPECT_LE(log.console.size(), console_bound);
    EXPECT_LE(log.text.size(), console_bound + head_bound);
}

struct Attempt {
    const char* name;
    std::vector<std::string> init;
    // Drops what the attempt finds; returns the bundle's file (or "").
    std::function<std::string(test::UpdateDevice&)> setup;
    const char* script;
    std::vector<std::string> faults;
    int boots;  // of the update; the log of the last one is checked
    const char* outcome;
    int code;
    const char* journal;
    bool digests;         // the images' SHA-256 in the head (the kernel's first)
    const char* console;  // a line of the attempt that its log keeps
};

std::string good_bundle(test::UpdateDevice& device) {
    const std::string kernel = device.random_file("uImage", 20000, 2);
    const std::string bundle = device.bundle(
        "update.bin", {{"imx35_selda/uImage", kernel}, {"rootfs.img.gz", device.rootfs_image("rootfs.img")}});
    device.drop(bundle, "update.bin");
    return bundle;
}

std::string foreign_bundle(test::UpdateDevice& device) {
    EXPECT_EQ(std::system((std::string(QM_BIN_DIR) + "/mkbundle keygen --bits 1024 --out " +
                           device.work("foreign.pem") + " >/dev/null 2>&1")
                              .c_str()),
              0);
    const std::string bundle = device.bundle("foreign.bin", {{"imx35_selda/uImage", device.random_file("k", 9000, 4)}},
                                             {"--key", device.work("foreign.pem")});
    device.drop(bundle, "update.bin");
    return bundle;
}

std::string two_bundles(test::UpdateDevice& device) {
    const std::string bundle = good_bundle(device);
    device.drop(bundle, "update_b.bin");
    return "";
}

// A root file system that is no ext3: the images go in, the diagnostics
// switch (on that file system) cannot be made, and is tried again.
std::string last_step_bundle(test::UpdateDevice& device) {
    const std::string rootfs = device.random_file("rootfs.img", 30000, 4);
    EXPECT_EQ(std::system(("gzip -n -f " + rootfs).c_str()), 0);
    const std::string bundle = device.bundle(
        "update.bin",
        {{"imx35_selda/uImage", device.random_file("uImage", 9000, 5)}, {"rootfs.img.gz", rootfs + ".gz"}});
    device.drop(bundle, "update.bin");
    return bundle;
}

const std::vector<std::string> root_fails = {"--fault", "eio:/dev/mmcblk0p1"};

class AttemptLog : public testing::TestWithParam<Attempt> {};

TEST_P(AttemptLog, TellsHowItEndedAndKeepsItsConsoleLines) {
    const Attempt& c = GetParam();
    test::UpdateDevice device(c.init);
    test::write_file(device.path("userstore/book.txt"), owners_book);
    const std::string bundle = c.setup(device);
    test::SimResult run;
    for (int boot = 1; boot <= c.boots; ++boot) run = device.boot(c.script, c.faults);

    ASSERT_TRUE(exists(device.path("userstore/update-log.txt"))) << run.output;
    const Log log = read_log(device.path("userstore/update-log.txt"));
    expect_well_formed(log);
    EXPECT_EQ(log["outcome"].rfind(c.outcome, 0), 0u) << log["outcome"];
    EXPECT_EQ(log["code"].rfind(std::to_string(c.code) + " (", 0), 0u) << log["code"];
    EXPECT_EQ(log["journal"], c.journal);
    if (!bundle.empty()) {
        EXPECT_EQ(log["bundle"], "update.bin, " + std::to_string(test::read_file(bundle).size()) + " bytes");
    }
    if (c.digests) {
        EXPECT_EQ(log["SHA-256"].rfind("UImage " + sha256_of(device.work("uImage")) + " ", 0), 0u) << log.text;
        EXPECT_EQ(log.head.count("SHA-256"), 2u);  // the kernel and the root file system or diagnostics image
    } else {
        EXPECT_EQ(log["SHA-256"].rfind("not known", 0), 0u);
    }
    EXPECT_NE(log.console.find(std::string(c.console) + "\r\n"), std::string::npos) << log.console;
    // The console part is the attempt's: it begins with the bundle search.
    EXPECT_EQ(log.console.rfind("INFO:Found update", 0), 0u) << log.console.substr(0, 300);
    EXPECT_NE(run.find("INFO:This update's log is /mnt-us/update-log.txt\n"), std::string::npos) << run.output;

    // The owner's file is as it was; nothing new matches the bundle search;
    // no new file of ours is left half made.
    EXPECT_EQ(test::read_file(device.path("userstore/book.txt")), owners_book);
    EXPECT_FALSE(exists(device.path("userstore/update-log.txt.new")));
    for (const auto& name : names_in(device.path("userstore")))
        if (name.rfind("update-log", 0) == 0) {
            EXPECT_NE(fnmatch("update*.bin", name.c_str(), 0), 0) << name;
        }
    EXPECT_EQ(exists(device.path("userstore/update-log.1.txt")), c.boots > 1);
}

const std::vector<std::string> unreadable = {"--fault", "eio-read:/mnt-us/update.bin:3"};
const std::vector<std::string> journal_fails = {"--fault", "eio:/mnt-us/install.jnl.new"};

INSTANTIATE_TEST_SUITE_P(
    Endings, AttemptLog,
    testing::Values(
        Attempt {"installed",
                 {},
                 good_bundle,
                 "",
                 {},
                 1,
                 "installed",
                 0,
                 "1 of 3 tries counted",
                 true,
                 "INFO:bundle /mnt-us/update.bin was successful"},
        Attempt {"failed_kept_for_the_next_boot",
                 {},
                 good_bundle,
                 press_r.c_str(),
                 root_fails,
                 1,
                 "failed, kept for the next boot (1 of 3 boots used)",
                 3,
                 "1 of 3 tries counted",
                 true,
                 "INFO:Keeping /mnt-us/update.bin to try again at the next boot (1 of 3 boots used)"},
        Attempt {"refused_foreign_signature",
                 {},
                 foreign_bundle,
                 press_r.c_str(),
                 {},
                 1,
                 "refused: the bundle failed its check and was removed",
                 3,
                 "1 of 3 tries counted",
                 false,
                 "ERROR:Could not unbundle /mnt-us/update.bin"},
        Attempt {"given_up",
                 {},
                 good_bundle,
                 press_r.c_str(),
                 unreadable,
                 4,
                 "given up: 3 boots began it",
                 10,
                 "3 of 3 tries counted",
                 false,
                 "ERROR:The update of /mnt-us/update.bin did not finish in 3 boots; giving it up"},
        Attempt {"held_in_recovery",
                 {},
                 good_bundle,
                 press_r.c_str(),
                 root_fails,
                 4,
                 "held in recovery: the system on the device is not whole; the next power-up tries again",
                 11,
                 "2 of 3 tries counted",
                 true,
                 "ERROR:The update of /mnt-us/update.bin did not finish in 3 boots"},
        Attempt {"not_begun_journal_unwritable",
                 {},
                 good_bundle,
                 "300 signal TERM\n",
                 journal_fails,
                 1,
                 "not begun: the install journal could not be written",
                 3,
                 "could not be written",
                 false,
                 "ERROR:Could not record the update in /mnt-us/install.jnl; not installing /mnt-us/update.bin"},
        Attempt {"refused_battery_low",
                 {"--battery", "10"},
                 good_bundle,
                 "",
                 {},
                 1,
                 "refused: the battery charge is too low",
                 9,
                 "none written",
                 false,
                 "Skipping update because battery is low. (10% is below 15%)"},
        Attempt {"refused_no_gauge",
                 {},
                 good_bundle,
                 "",
                 {"--fault", "hang:/dev/i2c/0"},
                 1,
                 "refused: the battery gauge could not be read",
                 2,
                 "none written",
                 false,
                 "ERROR:Could not access gasgauge"},
        Attempt {"refused_two_bundles",
                 {},
                 two_bundles,
                 "",
                 {},
                 1,
                 "refused: more than one update*.bin",
                 8,
                 "none written",
                 false,
                 "ERROR:Refusing to update: too many update files found."},
        Attempt {"installed_last_step_kept",
                 {},
                 last_step_bundle,
                 "",
                 {},
                 1,
                 "installed; the last steps are tried again at the next boot",
                 0,
                 "1 of 3 tries counted",
                 true,
                 "EMERGENCY:Could not set as non-diags"},
        Attempt {"images_in_place_last_step_again",
                 {},
                 last_step_bundle,
                 "",
                 {},
                 2,
                 "not finished: the images are in place, the last steps are tried again at the next boot (2 of 3 "
                 "boots used)",
                 0,
                 "2 of 3 tries counted",
                 true,
                 "INFO:The images of /mnt-us/update.bin are in place; finishing the update"}),
    test::ParamName());

// Every file of the user store, by name, with its bytes.
std::map<std::string, std::string> store_files(const test::UpdateDevice& device) {
    std::map<std::string, std::string> files;
    for (const auto& name : names_in(device.path("userstore")))
        files[name] = test::read_file(device.path("userstore/" + name));
    return files;
}

// A reader whose user store already holds an owner's file and the logs of
// two earlier attempts.
class StoreWithLogs : public testing::Test {
protected:
    test::UpdateDevice device;
    std::string bundle;
    void SetUp() override {
        test::write_file(device.path("userstore/book.txt"), owners_book);
        test::write_file(device.path("userstore/update-log.txt"), "the last attempt\r\n");
        test::write_file(device.path("userstore/update-log.1.txt"), "the attempt before\r\n");
        bundle = good_bundle(device);
    }
    void limit_room(long long bytes) {
        test::write_file(device.path("device.conf"), test::read_file(device.path("device.conf")) +
                                                         "userstore_free=" + std::to_string(bytes) + "\n");
    }
};

// A full store takes neither the journal nor the log: the update does not
// begin, the reader boots on, and not a byte of the store has changed.
TEST_F(StoreWithLogs, FullStoreWritesNothingAndLosesNothing) {
    limit_room(0);
    const auto before = store_files(device);
    const auto run = device.boot("300 signal TERM\n");
    EXPECT_NE(run.find("INFO:The user store has no room for /mnt-us/update-log.txt; not writing it\n"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(run.last_line(), "SIM: exec /bin/kinit") << run.output;
    EXPECT_EQ(store_files(device), before);
}

// Room for the update's journal but not for a log and the room a log must
// leave: the update installs, no log is written, the old logs stay.
TEST_F(StoreWithLogs, StoreWithLittleRoomInstallsAndKeepsTheOldLogs) {
    limit_room(600 * 1024);
    auto expected = store_files(device);
    expected.erase("update.bin");
    const auto run = device.boot();
    EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos) << run.output;
    EXPECT_NE(run.find("has no room for /mnt-us/update-log.txt"), std::string::npos) << run.output;
    EXPECT_EQ(store_files(device), expected);
}

// With room, the new log takes the place of the last one, which becomes the
// one before; the oldest goes.
TEST_F(StoreWithLogs, NewLogPushesTheLastOneBack) {
    limit_room(4 * 1024 * 1024);
    const auto run = device.boot();
    EXPECT_EQ(test::read_file(device.path("userstore/update-log.1.txt")), "the last attempt\r\n");
    EXPECT_EQ(read_log(device.path("userstore/update-log.txt"))["outcome"], "installed") << run.output;
    EXPECT_EQ(test::read_file(device.path("userstore/book.txt")), owners_book);
}

// A log whose write fails leaves nothing of itself, and the logs before it
// as they were; the update is not disturbed.
TEST_F(StoreWithLogs, FailedWriteLeavesTheOldLogs) {
    for (const char* fault : {"eio:/mnt-us/update-log.txt.new", "eio-fsync:/mnt-us/update-log.txt.new"}) {
        SCOPED_TRACE(fault);
        test::UpdateDevice fresh;
        test::write_file(fresh.path("userstore/update-log.txt"), "the last attempt\r\n");
        good_bundle(fresh);
        const auto run = fresh.boot("", {"--fault", fault});
        EXPECT_NE(run.find("ERROR:/mnt-us/update-log.txt.new:Input/output error(5)\n"), std::string::npos)
            << run.output;
        EXPECT_NE(run.find("INFO:bundle /mnt-us/update.bin was successful\n"), std::string::npos);
        EXPECT_EQ(run.last_line(), "SIM: reboot (kernel_boot_flag written \"0\\n\")");
        EXPECT_EQ(names_in(fresh.path("userstore")), std::set<std::string> {"update-log.txt"});
        EXPECT_EQ(test::read_file(fresh.path("userstore/update-log.txt")), "the last attempt\r\n");
    }
}

// The owner's folder by the name of a log is never renamed or replaced.
TEST(UpdateLogNames, OwnersFolderByTheNameIsLeftAlone) {
    for (const char* name : {"update-log.txt", "update-log.1.txt", "update-log.txt.new"}) {
        SCOPED_TRACE(name);
        test::UpdateDevice device;
        const std::string folder = device.path("userstore/" + std::string(name));
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        test::write_file(folder + "/notes.txt", owners_book);
        good_bundle(device);
        const auto run = device.boot();
        EXPECT_NE(run.find("WARNING:/mnt-us/" + std::string(name) + " is not a file; not writing the update log\n"),
                  std::string::npos)
            << run.output;
        EXPECT_EQ(names_in(device.path("userstore")), std::set<std::string> {name});
        EXPECT_EQ(test::read_file(folder + "/notes.txt"), owners_book);
    }
}

// Entry L of the developer menu shows the log on the console, as text.
TEST(UpdateLogMenu, EntryLShowsTheLog) {
    test::UpdateDevice device;
    const std::string menu_l = "0.2 console\n4 console L\n5 console q\n";
    const auto none = device.boot(menu_l);
    EXPECT_NE(none.find("INFO:No update log on the user store (/mnt-us/update-log.txt)\n"), std::string::npos)
        << none.output;
    good_bundle(device);
    device.boot();
    const std::string log = test::read_file(device.path("userstore/update-log.txt"));
    const auto run = device.boot(menu_l);
    std::string shown;
    for (const char c : log)
        if (c != '\r') shown += c;
    const size_t at = run.find("=== /mnt-us/update-log.txt ===\n" + shown + "=== end of /mnt-us/update-log.txt ===\n");
    EXPECT_NE(at, std::string::npos) << run.output;
    EXPECT_NE(run.find("] unmounted /mnt-us\n", at), std::string::npos) << "the user store is unmounted again";
    EXPECT_NE(run.find("Developer Menu", at), std::string::npos) << "the menu comes back";
}

}  // namespace

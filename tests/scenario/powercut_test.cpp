// Power cuts and I/O errors during an update, with images of the sizes a
// reader really gets. For every write N of an install the power fails right
// after write N (or a run of write errors starts at write N of one device);
// the device then boots twice more with nothing going wrong. The promise,
// checked on the bytes:
//   - at the cut, the board can still start unless the cut tore a boot
//     image in its only place (the in-place write of a raw image);
//   - after the two boots the new system is installed everywhere and the
//     bundle is gone, or the old system is intact everywhere;
//   - the user's files and the variable-data partition are never touched.
// Each sweep prints its row of the table in docs/power-cuts.md.
#include <gtest/gtest.h>

#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "support/image_bytes.h"
#include "support/install_fixture.h"
#include "support/param_name.h"
#include "support/testdir.h"

namespace {

constexpr uint64_t uboot_at = 3072;
constexpr uint64_t kernel_at = 266240;
// Partitions 1 to 3 of the MMC of each family.
constexpr uint64_t rootfs_at = 7688ULL * 512;
constexpr uint64_t varlocal_at = 826944ULL * 512;
constexpr uint64_t diagsfs_at = 876096ULL * 512;
constexpr uint64_t nor_rootfs_at = 2ULL * 512;
constexpr uint64_t nor_varlocal_at = 819264ULL * 512;
constexpr int most_steps = 150;                   // far above what these bundles take
// A failed update waits for R; a person presses it a while later.
const std::string press_r = "60 console R\n";

enum class Family { mmc, nor, nor_one_kernel };

// One image of the system, old and new.
struct Image {
    std::string label;
    std::string old_bytes;
    std::string new_bytes;  // empty when the bundle does not carry it
    bool boots = false;     // the board cannot start without an intact copy
};

// Where an image lives: a byte range of a file of the device directory.
// The bundle writes the primary place; a twin holds a spare copy.
struct Place {
    size_t image;
    std::string file;
    uint64_t offset;
    bool twin = false;
};

enum class Hold { old_image, new_image, torn };

struct SweepCase {
    const char* name;
    const char* title;  // the row of the table
    Family family;
    // Empty: power cuts. Otherwise a run of write errors on this device,
    // starting at its Nth write and lasting to the end of the boot.
    const char* failing_device = "";
    // Boots in a row that the fault strikes, each at the same write N of
    // its own (a dying battery, a failing chip); the repeated sweep only.
    int faulty_boots = 1;
};

// Test lists name a case by its name alone.
void PrintTo(const SweepCase& c, std::ostream* os) { *os << c.name; }

class Sweep : public testing::TestWithParam<SweepCase> {
protected:
    void SetUp() override {
        const SweepCase& c = GetParam();
        if (c.family == Family::nor) template_ = std::make_unique<test::UpdateDevice>(std::vector<std::string>{
                                         "--family", "nor"});
        else if (c.family == Family::nor_one_kernel)
            template_ = std::make_unique<test::UpdateDevice>(
                std::vector<std::string>{"--family", "nor", "--nor-kernel2", "no"});
        else
            template_ = std::make_unique<test::UpdateDevice>();
        test::UpdateDevice& d = *template_;
        // Hundreds of boots look at the bytes, not at the panel.
        test::write_file(d.path("device.conf"), test::read_file(d.path("device.conf")) + "screens=none\n");

        std::string old_rootfs, new_rootfs;
        d.rootfs_image("old-rootfs.img", &old_rootfs);
        const std::string rootfs_gz = d.rootfs_image("rootfs.img", &new_rootfs);
        const std::string kernel = d.kernel_image("uImage", 1300000, 2);
        const std::string uboot = d.bootloader_image("u-boot.bin", 20000, 1);
        images_ = {
            {"kernel", test::read_file(d.kernel_image("old-uImage", 1200000, 12)), test::read_file(kernel), true},
            {"boot loader", test::read_file(d.bootloader_image("old-u-boot.bin", 19000, 11)),
             test::read_file(uboot), true},
            {"root file system", test::read_file(old_rootfs), test::read_file(new_rootfs)},
        };
        if (c.family == Family::mmc) {
            const std::string diagsfs = d.random_file("diagsfs.img", 2000000, 7);
            images_.push_back({"diagnostics image", test::read_file(d.random_file("old-diagsfs.img", 2000000, 17)),
                               test::read_file(diagsfs)});
            places_ = {{0, "mmc0.img", kernel_at}, {1, "mmc0.img", uboot_at}, {2, "mmc0.img", rootfs_at},
                       {3, "mmc0.img", diagsfs_at}};
            bundle_ = d.bundle("update.bin", {{"imx35_selda/u-boot.bin", uboot},
                                              {"imx35_selda/uImage", kernel},
                                              {"rootfs.img.gz", rootfs_gz},
                                              {"diagsfs.img", diagsfs}});
        } else {
            varlocal_at_ = nor_varlocal_at;
            places_ = {{0, "mtd1.img", 0}, {1, "mtd0.img", 0}, {1, "mtd3.img", 0, true},
                       {2, "mmc0.img", nor_rootfs_at}};
            // The second kernel copy comes erased from the factory; the
            // start-up repair fills it before the update.
            if (c.family == Family::nor) places_.push_back({0, "mtd4.img", 0, true});
            bundle_ = d.bundle("update.bin", {{"uImage", kernel}, {"u-boot.bin", uboot}, {"rootfs.img.gz", rootfs_gz}},
                               {"--family", "orvik"});
        }
        // The old system, and the user's own data beside it.
        for (const Place& place : places_)
            if (!place.twin || place.file == "mtd3.img") put(d.path(place.file), place.offset, images_[place.image].old_bytes);
        varlocal_ = std::string(65536, '\0');
        for (size_t i = 0; i < varlocal_.size(); ++i) varlocal_[i] = static_cast<char>(i * 7 + 3);
        put(d.path("mmc0.img"), varlocal_at_, varlocal_);
        book_ = test::read_file(d.random_file("book.epub", 300000, 5));
        test::write_file(d.path("userstore/books/book.epub"), book_);
    }

    static void put(const std::string& file, uint64_t offset, const std::string& bytes) {
        ASSERT_TRUE(test::write_bytes(file, static_cast<off_t>(offset), bytes)) << file;
    }

    // A copy of the prepared device with the bundle on its user store. The
    // program only reads and deletes the bundle, so a link to one file does.
    std::string fresh_device(const test::TempDir& dir) {
        const std::string copy = dir / "dev";
        EXPECT_EQ(std::system(("cp -a --sparse=always " + template_->path("") + " " + copy).c_str()), 0);
        std::filesystem::create_hard_link(bundle_, copy + "/userstore/update.bin");
        return copy;
    }

    Hold hold(const std::string& dev, const Place& place) const {
        const Image& image = images_[place.image];
        const std::string bytes = test::file_bytes(dev + "/" + place.file, place.offset,
                                                   std::max(image.new_bytes.size(), image.old_bytes.size()));
        const auto holds = [&bytes](const std::string& content) {
            return !content.empty() && bytes.compare(0, content.size(), content) == 0;
        };
        if (holds(image.new_bytes)) return Hold::new_image;
        if (holds(image.old_bytes)) return Hold::old_image;
        return Hold::torn;
    }

    // Why the board could not start from this state; empty when it can.
    std::string bricked(const std::string& dev) const {
        std::string why;
        for (size_t i = 0; i < images_.size(); ++i) {
            if (!images_[i].boots) continue;
            bool intact = false;
            for (const Place& place : places_)
                if (place.image == i && hold(dev, place) != Hold::torn) intact = true;
            if (!intact) why += (why.empty() ? "torn " : ", torn ") + images_[i].label;
        }
        return why;
    }

    // Files on the user store besides the user's own and the update logs,
    // which are meant to stay (a cut may leave the new one not yet renamed).
    static std::vector<std::string> leftovers(const std::string& dev) {
        static const std::set<std::string> kept = {"books", "update-log.txt", "update-log.1.txt", "update-log.txt.new"};
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dev + "/userstore"))
            if (kept.count(entry.path().filename()) == 0) names.push_back(entry.path().filename());
        return names;
    }

    // "" when the device ended well: every primary place holds the new
    // image (the twins an intact one) and nothing is left on the user store,
    // or every place still holds the old system. Otherwise what is wrong.
    std::string outcome(const std::string& dev) const {
        bool all_new = true, all_old = true;
        std::string state;
        for (const Place& place : places_) {
            const Hold h = hold(dev, place);
            const std::string label = images_[place.image].label + (place.twin ? " copy" : "");
            if (h == Hold::torn) state += label + " torn, ";
            if (place.twin) {
                all_new &= h != Hold::torn;
                all_old &= h == Hold::old_image;
            } else {
                if (h == Hold::old_image) state += label + " old, ";
                all_new &= h == Hold::new_image;
                all_old &= h == Hold::old_image;
            }
        }
        const auto left = leftovers(dev);
        const bool bundle_left = std::filesystem::exists(dev + "/userstore/update.bin");
        if ((all_new && left.empty()) || all_old) return "";
        if (all_new) state += "new system, ";
        state += bundle_left ? "bundle kept" : "bundle gone";
        for (const auto& name : left)
            if (name != "update.bin") state += ", " + name + " left";
        return state;
    }

    // Old everywhere or new everywhere (a twin holding an intact image):
    // a system the reader may be handed over to.
    bool whole(const std::string& dev) const {
        bool all_new = true, all_old = true;
        for (const Place& place : places_) {
            const Hold h = hold(dev, place);
            all_new &= place.twin ? h != Hold::torn : h == Hold::new_image;
            all_old &= h == Hold::old_image;
        }
        return all_new || all_old;
    }

    bool user_data_intact(const std::string& dev) const {
        return test::read_file(dev + "/userstore/books/book.epub") == book_ &&
               test::file_bytes(dev + "/mmc0.img", varlocal_at_, varlocal_.size()) == varlocal_;
    }

    std::unique_ptr<test::UpdateDevice> template_;
    std::vector<Image> images_;
    std::vector<Place> places_;
    std::string bundle_;
    uint64_t varlocal_at_ = varlocal_at;
    std::string varlocal_;
    std::string book_;
};

// Every cut point by default. The sanitizer and ARM runs, whose programs
// run many times slower, take every Nth (QM_SWEEP_STRIDE=N, set by their
// test presets).
int stride() {
    const char* text = std::getenv("QM_SWEEP_STRIDE");
    const int n = text != nullptr ? std::atoi(text) : 1;
    return n > 0 ? n : 1;
}

std::string tally(const std::map<std::string, int>& reasons) {
    std::string text;
    for (const auto& [reason, count] : reasons)
        text += (text.empty() ? "" : "; ") + reason + " (" + std::to_string(count) + ")";
    return text;
}

TEST_P(Sweep, EveryCutEndsInTheNewOrTheOldSystemAndKeepsTheUsersData) {
    const SweepCase& c = GetParam();
    const bool io_errors = *c.failing_device != '\0';
    int steps = 0, recovered = 0;
    std::map<std::string, int> bricked_by, failed_by;
    for (int n = 1; n <= most_steps; n += stride()) {
        test::TempDir dir;
        const std::string dev = fresh_device(dir);
        const std::string fault = io_errors ? "eio:" + std::string(c.failing_device) + ":" + std::to_string(n) + "-100000"
                                            : "powercut:" + std::to_string(n);
        test::write_file(dir / "script", press_r);
        const auto first = test::run_sim({"boot", dev, "--script", dir / "script", "--fault", fault});
        const bool cut = first.contains("SIM: power-off (power cut after write " + std::to_string(n) + ")");
        if (!io_errors && !cut) {
            // The whole update took fewer than n writes.
            EXPECT_NE(first.find("was successful"), std::string::npos) << first.output;
            EXPECT_EQ(outcome(dev), "") << first.output;
            break;
        }
        if (io_errors && !first.contains("Input/output error") && !first.contains("Could not copy")) {
            // The run of errors started after the device's last write.
            EXPECT_EQ(outcome(dev), "");
            break;
        }
        ++steps;
        // The initial RAM file system does not survive the power going.
        std::filesystem::remove(dev + "/diagsfs.img");
        const std::string brick = bricked(dev);
        std::string transcript = first.output;
        std::string end;
        for (int boot = 0; boot < 2; ++boot) {
            const auto next = test::run_sim({"boot", dev, "--script", dir / "script"});
            transcript += next.output;
            EXPECT_EQ(next.exit_code, 0) << next.output;
            // Finished: a further boot only hands over.
            end = outcome(dev);
            if (end.empty() && leftovers(dev).empty()) break;
        }
        EXPECT_TRUE(user_data_intact(dev)) << "step " << n;
        if (!brick.empty())
            ++bricked_by[brick];
        else if (end.empty())
            ++recovered;
        else
            ++failed_by[end];
        EXPECT_EQ(end, "") << "step " << n << (io_errors ? " (errors from that write on)" : " (cut after that write)")
                           << "\n"
                           << transcript.substr(transcript.size() > 6000 ? transcript.size() - 6000 : 0);
    }
    EXPECT_GT(steps, 1) << "the sweep met no write";
    EXPECT_LT(steps, most_steps) << "the update never finished";
    int bricked = 0;
    for (const auto& [why, count] : bricked_by) bricked += count;
    // A boot image has a spare copy on this board, or is torn only by its
    // own in-place write.
    for (const auto& [why, count] : bricked_by) {
        EXPECT_EQ(why, "torn kernel") << c.title;
    }
    if (c.family == Family::nor) {
        EXPECT_EQ(bricked, 0);
    }
    if (stride() > 1) std::printf("(one cut point in %d)\n", stride());
    std::printf("| %s | %d | %d | %d %s| %d %s|\n", c.title, steps, recovered, bricked,
                bricked_by.empty() ? "" : ("(" + tally(bricked_by) + ") ").c_str(), steps - recovered - bricked,
                failed_by.empty() ? "" : ("(" + tally(failed_by) + ") ").c_str());
}

INSTANTIATE_TEST_SUITE_P(
    PowerCuts, Sweep,
    testing::Values(SweepCase{"MmcBootAllImages", "MMC-boot, kernel + boot loader + root fs + diagnostics, power cuts",
                              Family::mmc},
                    SweepCase{"NorTwoKernels", "NOR-boot with Kernel2, power cuts", Family::nor},
                    SweepCase{"NorOneKernel", "NOR-boot without Kernel2, power cuts", Family::nor_one_kernel},
                    SweepCase{"MmcRawRegionErrors", "MMC-boot, write errors on /dev/mmcblk0 from write N on",
                              Family::mmc, "/dev/mmcblk0"},
                    SweepCase{"MmcRootfsErrors", "MMC-boot, write errors on the root partition from write N on",
                              Family::mmc, "/dev/mmcblk0p1"},
                    SweepCase{"MmcDiagsfsErrors", "MMC-boot, write errors on partition 3 from write N on",
                              Family::mmc, "/dev/mmcblk0p3"},
                    SweepCase{"NorKernel1Errors", "NOR-boot, write errors on Kernel1 from write N on", Family::nor,
                              "/dev/mtdblock/1"},
                    SweepCase{"NorKernel2Errors", "NOR-boot, write errors on Kernel2 from write N on", Family::nor,
                              "/dev/mtdblock/4"}),
    test::ParamName());

// Faults that come back at every boot: a dying battery cuts three attempts
// in a row (each at write N of its own boot), or a failing chip fails every
// write from its Nth on at every boot. Then the reader boots with nothing
// going wrong. The rule, checked at the end of every boot: the reader is
// never handed over to a system that is neither old everywhere nor new
// everywhere, and a bundle is dropped only where the system is whole. Each
// cut point ends finished (new everywhere, nothing left on the user store),
// kept (bundle and journal stay for the next boot) or held in recovery.
class RepeatedSweep : public Sweep {};

constexpr int clean_boots = 4;

TEST_P(RepeatedSweep, NoBootHandsOverATornSystemAndNoBundleIsDroppedUnlessTheSystemIsWhole) {
    const SweepCase& c = GetParam();
    const bool io_errors = *c.failing_device != '\0';
    int points = 0, finished = 0, unfinished = 0, held_on_the_way = 0, given_up_whole = 0;
    std::map<std::string, int> bricked_by, failed_by;
    for (int n = 1; n <= most_steps; n += stride()) {
        test::TempDir dir;
        const std::string dev = fresh_device(dir);
        const std::string fault = io_errors
                                      ? "eio:" + std::string(c.failing_device) + ":" + std::to_string(n) + "-100000"
                                      : "powercut:" + std::to_string(n);
        test::write_file(dir / "script", press_r);
        std::string transcript, violation, brick;
        bool struck = false;
        const auto check_boot = [&](const test::SimResult& run) {
            transcript += run.output;
            EXPECT_EQ(run.exit_code, 0) << run.output;
            if (violation.empty() && run.last_line() == "SIM: exec /bin/kinit" && !whole(dev))
                violation = "handed over a torn or mixed system";
            if (violation.empty() && !whole(dev) && !std::filesystem::exists(dev + "/userstore/update.bin") &&
                !std::filesystem::exists(dev + "/userstore/install.jnl"))
                violation = "bundle dropped, system not whole";
        };
        for (int boot = 0; boot < c.faulty_boots; ++boot) {
            const auto run = test::run_sim({"boot", dev, "--script", dir / "script", "--fault", fault});
            const bool cut = run.contains("SIM: power-off (power cut after write " + std::to_string(n) + ")");
            const bool failed = run.contains("Input/output error") || run.contains("Could not copy");
            if (io_errors ? failed : cut) struck = true;
            // The initial RAM file system does not survive a restart.
            std::filesystem::remove(dev + "/diagsfs.img");
            if (cut && brick.empty()) brick = bricked(dev);
            check_boot(run);
            // A boot that got past write N ends the cuts; a failing chip
            // fails at every boot.
            if (!io_errors && !cut) break;
        }
        if (!struck) {
            // The update takes fewer than n writes (of that device).
            EXPECT_EQ(outcome(dev), "") << transcript;
            break;
        }
        ++points;
        for (int boot = 0; boot < clean_boots && !(outcome(dev).empty() && leftovers(dev).empty()); ++boot) {
            check_boot(test::run_sim({"boot", dev, "--script", dir / "script"}));
            std::filesystem::remove(dev + "/diagsfs.img");
        }
        EXPECT_TRUE(user_data_intact(dev)) << "step " << n;
        const bool bundle_left = std::filesystem::exists(dev + "/userstore/update.bin");
        const bool journal_left = std::filesystem::exists(dev + "/userstore/install.jnl");
        if (transcript.find("holding the reader in recovery") != std::string::npos) ++held_on_the_way;
        if (!brick.empty())
            ++bricked_by[brick];
        else if (!violation.empty())
            ++failed_by[violation + " (" + outcome(dev) + ")"];
        else if (outcome(dev).empty() && leftovers(dev).empty())
            ++finished;
        else if (whole(dev) && !bundle_left && !journal_left)
            ++given_up_whole;
        else
            ++unfinished;  // kept, or held, after the clean boots too
        EXPECT_EQ(violation, "") << "step " << n << ": " << outcome(dev) << "\n"
                                 << transcript.substr(transcript.size() > 8000 ? transcript.size() - 8000 : 0);
    }
    EXPECT_GT(points, 1) << "the sweep met no write";
    for (const auto& [why, count] : bricked_by) EXPECT_EQ(why, "torn kernel") << c.title;
    int bricked = 0;
    for (const auto& [why, count] : bricked_by) bricked += count;
    if (stride() > 1) std::printf("(one cut point in %d)\n", stride());
    // Columns: cut points; finished; given up with the old system whole;
    // still kept or held after the clean boots; held in recovery at some
    // boot on the way; bricked; failed.
    std::printf("| %s | %d | %d | %d | %d | %d | %d %s| %d %s|\n", c.title, points, finished, given_up_whole,
                unfinished, held_on_the_way, bricked,
                bricked_by.empty() ? "" : ("(" + tally(bricked_by) + ") ").c_str(),
                points - finished - given_up_whole - unfinished - bricked,
                failed_by.empty() ? "" : ("(" + tally(failed_by) + ") ").c_str());
}

INSTANTIATE_TEST_SUITE_P(
    RepeatedFaults, RepeatedSweep,
    testing::Values(SweepCase {"MmcThreeCuts", "MMC-boot, three power cuts in a row", Family::mmc, "", 3},
                    SweepCase {"NorThreeCuts", "NOR-boot with Kernel2, three power cuts in a row", Family::nor, "", 3},
                    SweepCase {"NorOneKernelThreeCuts", "NOR-boot without Kernel2, three power cuts in a row",
                               Family::nor_one_kernel, "", 3},
                    SweepCase {"MmcRawRegionFailing", "MMC-boot, /dev/mmcblk0 failing from write N on at every boot",
                               Family::mmc, "/dev/mmcblk0", 5},
                    SweepCase {"MmcDiagsfsFailing", "MMC-boot, partition 3 failing from write N on at every boot",
                               Family::mmc, "/dev/mmcblk0p3", 5},
                    SweepCase {"NorKernel1Failing", "NOR-boot, Kernel1 failing from write N on at every boot",
                               Family::nor, "/dev/mtdblock/1", 5}),
    test::ParamName());

}  // namespace

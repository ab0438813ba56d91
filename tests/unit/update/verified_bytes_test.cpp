// The first promise, checked on the storage bytes: after the whole unbundle
// step (check pass, verdict, install attempts) every destination of a
// simulated reader holds either what it held before or exactly an image
// whose signature passed, and nothing else on the reader changed. The
// hostile bundles are made by Python's tarfile and gzip and signed by
// openssl (tests/support/hostile_bundle.py), not by the project's writer.
#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "sim/faults.h"
#include "support/host_tools.h"
#include "support/param_name.h"
#include "support/small_reader.h"
#include "update/install_common.h"

namespace {

using test::contains;

using test::family;
using test::Region;
using test::regions_of;

const std::vector<std::string> storage_files = {"mmc0.img", "mtd0.img", "mtd1.img",
                                                "mtd3.img", "mtd4.img", "diagsfs.img"};

// A small reader of one family with the partition map laid out.
class Reader {
public:
    explicit Reader(family f) : family_(f), device_(test::small_reader_options(f)) { test::lay_out_small_map(device_); }

    test::SimDevice& device() { return device_; }
    std::string host(const std::string& relative) const { return device_.host(relative); }

    // Each storage file up to the end of the user store's start on the MMC
    // (past every destination), whole otherwise. Beyond that the MMC image
    // is sparse: a write there would leave data where there was a hole,
    // which the snapshot records as a marker byte instead of reading it all.
    std::map<std::string, std::string> snapshot() const {
        std::map<std::string, std::string> files;
        for (const std::string& name : storage_files) {
            if (name != "mmc0.img") {
                files[name] = test::read_file(host(name));
                continue;
            }
            const uint64_t prefix = uint64_t{test::small_map[3][0]} * 512;
            std::string& bytes = files[name];
            bytes.resize(prefix);
            const int fd = ::open(host(name).c_str(), O_RDONLY);
            const bool read = fd >= 0 && ::pread(fd, bytes.data(), prefix, 0) == static_cast<ssize_t>(prefix);
            const bool data_beyond = fd >= 0 && ::lseek(fd, static_cast<off_t>(prefix), SEEK_DATA) >= 0;
            if (fd >= 0) ::close(fd);
            if (!read) throw std::runtime_error("cannot read " + host(name));
            bytes += data_beyond ? "data beyond the destinations" : "holes only";
        }
        return files;
    }

    // The whole unbundle step of the family on the bundle file at path;
    // before_install (may be null) runs once the bundle is authorised.
    int unbundle(const std::string& bundle_host_path, int& result,
                 int (*before_install)(void*, const char*, const qm::image_check*) = nullptr,
                 void* before_install_context = nullptr) {
        test::write_file(host("update.bin"), test::read_file(bundle_host_path));
        qm::update_config config{"/dev/mtdblock/1", "/dev/mtd/1", "/dev/mmcblk0p1", "/dev/mtdblock/0",
                                 "/dev/mtd/0",      0,            before_install,   before_install_context};
        result = -1;
        return family_ == family::selda ? qm::unbundle_selda("/update.bin", &config, &result)
                                        : qm::unbundle_orvik("/update.bin", &config, &result);
    }

private:
    family family_;
    test::SimDevice device_;
};

// part: each byte is its old one or the content's byte at its place (a
// streamed image stopped part way).
enum class expect { untouched, installed, either, part };

// What a destination may hold afterwards: its old bytes, or content (the
// verified image, the root file system inflated) over its start.
struct Outcome {
    std::string content;
    expect what;
};

bool same(const std::string& a, uint64_t a_at, const std::string& b, uint64_t b_at, uint64_t length) {
    return std::memcmp(a.data() + a_at, b.data() + b_at, length) == 0;
}

// Checks every storage file: bytes outside the regions never change; each
// region holds its old bytes or its outcome's content, as allowed.
void expect_storage(family f, const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after, const std::map<int, Outcome>& outcomes) {
    const std::vector<Region> regions = regions_of(f);
    for (const std::string& name : storage_files) {
        const std::string& old_bytes = before.at(name);
        const std::string& new_bytes = after.at(name);
        if (name == "diagsfs.img") {
            const auto found = outcomes.find(qm::image_diagsfs);
            const bool may_hold = found != outcomes.end() && found->second.what != expect::untouched;
            const bool must_hold = found != outcomes.end() && found->second.what == expect::installed;
            // A temporary copy is only ever the verified image, whole.
            EXPECT_TRUE(new_bytes.empty() || (may_hold && new_bytes == found->second.content))
                << "diagsfs.img holds " << new_bytes.size() << " bytes that are not the verified image";
            if (must_hold) {
                EXPECT_EQ(new_bytes, found->second.content) << "diagsfs.img";
            }
            continue;
        }
        ASSERT_EQ(old_bytes.size(), new_bytes.size()) << name;
        uint64_t at = 0;  // bytes before this have been compared
        for (const Region& r : regions) {
            if (r.file != name) continue;
            EXPECT_TRUE(same(old_bytes, at, new_bytes, at, r.offset - at))
                << name << " changed outside the destinations of the images, before byte " << r.offset;
            at = r.offset + r.size;
            const auto found = outcomes.find(r.type);
            const expect what = found == outcomes.end() ? expect::untouched : found->second.what;
            const bool untouched = same(old_bytes, r.offset, new_bytes, r.offset, r.size);
            bool holds_image = false;
            if (found != outcomes.end()) {
                const std::string& image = found->second.content;
                holds_image = same(image, 0, new_bytes, r.offset, image.size()) &&
                              same(old_bytes, r.offset + image.size(), new_bytes, r.offset + image.size(),
                                   r.size - image.size());
            }
            bool holds_part = false;
            if (what == expect::part) {
                const std::string& image = found->second.content;
                holds_part = same(old_bytes, r.offset + image.size(), new_bytes, r.offset + image.size(),
                                  r.size - image.size());
                for (size_t i = 0; holds_part && i < image.size(); ++i) {
                    const char now = new_bytes[r.offset + i];
                    holds_part = now == old_bytes[r.offset + i] || now == image[i];
                }
            }
            const bool allowed = what == expect::untouched   ? untouched
                                 : what == expect::installed ? holds_image
                                 : what == expect::part      ? holds_part
                                                             : untouched || holds_image;
            EXPECT_TRUE(allowed) << qm::bundle_info_name(r.type) << " region of " << name
                                 << (untouched ? " was left as it was" : holds_image ? " holds the verified image"
                                                                                     : " holds bytes that were never verified");
        }
        EXPECT_TRUE(same(old_bytes, at, new_bytes, at, old_bytes.size() - at))
            << name << " changed outside the destinations of the images, after byte " << at;
    }
}

// ---- The images and the hostile bundles -------------------------------------

struct Images {
    test::TempDir dir;
    std::string path(const std::string& name) const { return dir / name; }
    std::string put(const std::string& name, const std::string& bytes) const {
        test::write_file(path(name), bytes);
        return path(name);
    }
};

const std::string uboot = test::image_bytes(20000, 31);
const std::string evil = test::image_bytes(30000, 66);  // never signed
const std::string rootfs_a = test::image_bytes(200000, 41) + std::string(300000, 'a');
const std::string rootfs_b = std::string(100000, 'b') + test::image_bytes(50001, 42);

std::string shell_quoted(const std::string& arg) { return "'" + arg + "'"; }

// Makes one bundle for each argument list, in one run of the maker.
std::vector<std::string> hostile_bundles(const Images& images, const std::vector<std::vector<std::string>>& bundle_args) {
    static int made = 0;
    std::string lines;
    std::vector<std::string> outs;
    for (const auto& args : bundle_args) {
        outs.push_back(images.path("bundle-" + std::to_string(++made) + ".bin"));
        lines += "--out " + shell_quoted(outs.back()) + " --key " + shell_quoted(test::dev_key_path(1));
        for (const std::string& arg : args) lines += " " + shell_quoted(arg);
        lines += "\n";
    }
    const std::string batch = images.put("batch-" + std::to_string(made), lines);
    const std::string command = "python3 " + std::string(QM_TEST_SOURCE_DIR) + "/support/hostile_bundle.py --batch " + batch;
    const test::ToolRun run = test::run_tool(command);
    if (run.status != 0) throw std::runtime_error(command + ": " + run.output);
    return outs;
}

std::string hostile_bundle(const Images& images, const std::vector<std::string>& args) {
    return hostile_bundles(images, {args}).front();
}

std::string kernel_name(family f) { return f == family::selda ? "imx35_selda/uImage" : "uImage"; }
std::string uboot_name(family f) { return f == family::selda ? "imx35_selda/u-boot.bin" : "u-boot.bin"; }

std::string name_of(family f, int type) {
    switch (type) {
        case qm::image_uimage: return kernel_name(f);
        case qm::image_uboot: return uboot_name(f);
        case qm::image_rootfs: return "rootfs.img.gz";
        default: return "diagsfs.img";
    }
}

// ---- Members after the end of the archive -------------------------------------

struct SmuggleCase {
    family f;
    int type;           // of the member after the end
    bool at_boundary;   // the end block closes a push of the pipeline exactly
    bool cut_short;     // its header claims one byte more than the bundle holds
};

std::string smuggle_name(const testing::TestParamInfo<SmuggleCase>& info) {
    const SmuggleCase& c = info.param;
    std::string type = qm::bundle_info_name(c.type);
    return std::string(c.f == family::selda ? "mmc_" : "nor_") + type + (c.at_boundary ? "_at_" : "_off_") +
           "push_boundary" + (c.cut_short ? "_cut_short" : "_whole");
}

std::vector<SmuggleCase> smuggle_cases() {
    std::vector<SmuggleCase> cases;
    for (family f : {family::selda, family::orvik})
        for (int type = 0; type < qm::image_type_count; ++type)
            for (bool at : {true, false})
                for (bool cut : {true, false}) cases.push_back({f, type, at, cut});
    return cases;
}

class AfterTheEnd : public testing::TestWithParam<SmuggleCase> {
protected:
    Images images;

    std::string make_bundle(const SmuggleCase& c) {
        // The pipeline pushes 512 KiB of inflated output at a time while it
        // has input: a zero-filled member puts the end block there.
        const std::string evil_data = c.type == qm::image_rootfs ? bundle::gzip(evil) : evil;
        return hostile_bundle(
            images, {"--image", uboot_name(c.f) + "=" + images.put("u-boot.bin", uboot) + "=" + uboot_name(c.f) + ".sig",
                     "--end-at", std::to_string(c.at_boundary ? 524288 : 524288 + 1024), "--after",
                     name_of(c.f, c.type) + "=" + images.put("evil", evil_data) + (c.cut_short ? ":1" : "")});
    }
};

TEST_P(AfterTheEnd, IsNeverReadAndOnlyTheSignedImageIsInstalled) {
    const SmuggleCase& c = GetParam();
    Reader reader(c.f);
    const auto before = reader.snapshot();
    int result = -1;
    EXPECT_EQ(reader.unbundle(make_bundle(c), result), 1);
    // The member after the end is never even parsed.
    const std::string console = reader.device().take_console();
    if (c.type != qm::image_uboot) {
        EXPECT_FALSE(contains(console, name_of(c.f, c.type))) << console;
    }
    expect_storage(c.f, before, reader.snapshot(), {{qm::image_uboot, {uboot, expect::installed}}});
}

INSTANTIATE_TEST_SUITE_P(Bundles, AfterTheEnd, testing::ValuesIn(smuggle_cases()), smuggle_name);

// ---- Other hostile bundles, each with what the storage must hold ------------

struct HostileCase {
    const char* name;
    family f;
    // Makes the bundle (and, where the bundle is to change between the
    // passes, the replacement) and says what each destination may hold.
    void (*make)(family f, const Images& images, std::string& bundle, std::string& replacement,
                 std::map<int, Outcome>& outcomes);
    int installed;  // unbundle's result
};

class HostileBundle : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileBundle, LeavesOnlyVerifiedImagesOnTheStorage) {
    const HostileCase& c = GetParam();
    Images images;
    std::string bundle, replacement;
    std::map<int, Outcome> outcomes;
    c.make(c.f, images, bundle, replacement, outcomes);
    Reader reader(c.f);
    if (!replacement.empty()) {
        std::string error;
        reader.device().kernel().faults().add(*sim::parse_fault("swap:/update.bin:" + replacement, error));
    }
    const auto before = reader.snapshot();
    int result = -1;
    EXPECT_EQ(reader.unbundle(bundle, result), c.installed) << reader.device().console();
    expect_storage(c.f, before, reader.snapshot(), outcomes);
}

std::string image_arg(family f, int type, const std::string& path) {
    const std::string name = name_of(f, type);
    const std::string sig = type == qm::image_rootfs ? "rootfs.img.gz.sig"
                            : type == qm::image_diagsfs ? "diagsfs.img.sig"
                                                        : name + ".sig";
    return name + "=" + path + "=" + sig;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileBundle,
    testing::Values(
        HostileCase{"mmc_signed_bundle_installs_exactly_its_images", family::selda,
                    [](family f, const Images& im, std::string& b, std::string&, std::map<int, Outcome>& o) {
                        const std::string kernel = test::image_bytes(300000, 7);
                        b = hostile_bundle(im, {"--image", image_arg(f, qm::image_uboot, im.put("u", uboot)),
                                                "--image", image_arg(f, qm::image_uimage, im.put("k", kernel)),
                                                "--image", image_arg(f, qm::image_rootfs, im.put("r", bundle::gzip(rootfs_a))),
                                                "--image", image_arg(f, qm::image_diagsfs, im.put("d", rootfs_b))});
                        o = {{qm::image_uboot, {uboot, expect::installed}},
                             {qm::image_uimage, {kernel, expect::installed}},
                             {qm::image_rootfs, {rootfs_a, expect::installed}},
                             {qm::image_diagsfs, {rootfs_b, expect::installed}}};
                    },
                    1},
        HostileCase{"nor_signed_bundle_installs_exactly_its_images", family::orvik,
                    [](family f, const Images& im, std::string& b, std::string&, std::map<int, Outcome>& o) {
                        const std::string kernel = test::image_bytes(300000, 8);
                        b = hostile_bundle(im, {"--image", image_arg(f, qm::image_rootfs, im.put("r", bundle::gzip(rootfs_a))),
                                                "--image", image_arg(f, qm::image_uimage, im.put("k", kernel)),
                                                "--image", image_arg(f, qm::image_uboot, im.put("u", uboot))});
                        o = {{qm::image_uboot, {uboot, expect::installed}},
                             {qm::image_uimage, {kernel, expect::installed}},
                             {qm::image_rootfs, {rootfs_a, expect::installed}}};
                    },
                    1},
        HostileCase{"unsigned_kernel_beside_signed_images_writes_nothing", family::selda,
                    [](family f, const Images& im, std::string& b, std::string&, std::map<int, Outcome>&) {
                        b = hostile_bundle(im, {"--image", image_arg(f, qm::image_uboot, im.put("u", uboot)),
                                                "--member", kernel_name(f) + "=" + im.put("e", evil)});
                    },
                    0},
        HostileCase{"kernel_swapped_between_the_passes_writes_nothing", family::selda,
                    [](family f, const Images& im, std::string& b, std::string& r, std::map<int, Outcome>&) {
                        const std::string kernel = test::image_bytes(300000, 9);
                        b = hostile_bundle(im, {"--image", image_arg(f, qm::image_uboot, im.put("u", uboot)),
                                                "--image", image_arg(f, qm::image_uimage, im.put("k", kernel)),
                                                "--image", image_arg(f, qm::image_rootfs, im.put("r", bundle::gzip(rootfs_a)))});
                        // The same layout with another kernel, signed as well: the
                        // install pass must still write only what the check pass saw.
                        std::string other = kernel;
                        other[200000] ^= 1;
                        r = hostile_bundle(im, {"--image", image_arg(f, qm::image_uboot, im.path("u")),
                                                "--image", image_arg(f, qm::image_uimage, im.put("k2", other)),
                                                "--image", image_arg(f, qm::image_rootfs, im.path("r"))});
                    },
                    0},
        HostileCase{"nor_root_file_system_swapped_after_the_kernel", family::orvik,
                    [](family f, const Images& im, std::string& b, std::string& r, std::map<int, Outcome>& o) {
                        const std::string kernel = test::image_bytes(300000, 10);
                        b = hostile_bundle(im, {"--image", image_arg(f, qm::image_uimage, im.put("k", kernel)),
                                                "--image", image_arg(f, qm::image_rootfs, im.put("r", bundle::gzip(rootfs_a)))});
                        r = hostile_bundle(im, {"--image", image_arg(f, qm::image_uimage, im.path("k")),
                                                "--member", "rootfs.img.gz=" + im.put("r2", bundle::gzip(rootfs_b))});
                        // The kernel is held until the walk is over, so it is never written.
                        o = {{qm::image_uimage, {kernel, expect::untouched}}, {qm::image_rootfs, {rootfs_a, expect::either}}};
                    },
                    0},
        HostileCase{"root_file_system_of_two_gzip_members", family::selda,
                    [](family f, const Images& im, std::string& b, std::string&, std::map<int, Outcome>& o) {
                        b = hostile_bundle(im, {"--image", image_arg(f, qm::image_rootfs,
                                                                     im.put("r", bundle::gzip(rootfs_a) + bundle::gzip(rootfs_b, 1)))});
                        o = {{qm::image_rootfs, {rootfs_a + rootfs_b, expect::installed}}};
                    },
                    1},
        HostileCase{"root_file_system_with_garbage_after_its_gzip_member", family::selda,
                    [](family f, const Images& im, std::string& b, std::string&, std::map<int, Outcome>& o) {
                        b = hostile_bundle(im, {"--image", image_arg(f, qm::image_rootfs,
                                                                     im.put("r", bundle::gzip(rootfs_a) + "trailing garbage"))});
                        // The first member is the verified image's own content.
                        o = {{qm::image_rootfs, {rootfs_a, expect::either}}};
                    },
                    0}),
    test::ParamName());

// ---- A resumed update ---------------------------------------------------------

// Raw regions that already hold their image are left alone, so an update
// run again (after a power cut, say) does not open the window of an
// in-place write a second time: here any write to the whole MMC would fail.
TEST(ResumedUpdate, RawRegionsHoldingTheirImageAreNotWrittenAgain) {
    Images images;
    const std::string kernel = test::image_bytes(700000, 12);
    const std::string bundle =
        hostile_bundle(images, {"--image", image_arg(family::selda, qm::image_uimage, images.put("k", kernel)),
                                "--image", image_arg(family::selda, qm::image_uboot, images.put("u", uboot)),
                                "--image", image_arg(family::selda, qm::image_rootfs, images.put("r", bundle::gzip(rootfs_a)))});
    Reader reader(family::selda);
    const auto before = reader.snapshot();
    int result = -1;
    ASSERT_EQ(reader.unbundle(bundle, result), 1) << reader.device().console();
    reader.device().take_console();
    std::string error;
    reader.device().kernel().faults().add(*sim::parse_fault("eio:/dev/mmcblk0", error));
    EXPECT_EQ(reader.unbundle(bundle, result), 1) << reader.device().console();
    const std::string console = reader.device().take_console();
    EXPECT_PRED2(contains, console, "INFO:/dev/mmcblk0 already holds imx35_selda/uImage, not written again\n");
    EXPECT_PRED2(contains, console, "INFO:/dev/mmcblk0 already holds imx35_selda/u-boot.bin, not written again\n");
    expect_storage(family::selda, before, reader.snapshot(),
                   {{qm::image_uimage, {kernel, expect::installed}},
                    {qm::image_uboot, {uboot, expect::installed}},
                    {qm::image_rootfs, {rootfs_a, expect::installed}}});
}

// ---- A diagnostics image left behind -------------------------------------------

TEST(StaleDiagnosticsImage, IsRemovedBeforeAnUpdateAndAfterAFailedOne) {
    Images images;
    for (const bool fails : {false, true}) {
        Reader reader(family::selda);
        test::write_file(reader.host("diagsfs.img"), "left by an update that failed earlier");
        std::vector<std::string> args = {"--image", image_arg(family::selda, qm::image_uboot, images.put("u", uboot))};
        if (fails) {
            // A signed diagnostics image, then a root file system whose
            // partition cannot be written: the attempt fails after the
            // temporary copy was made.
            args.insert(args.end(), {"--image", image_arg(family::selda, qm::image_diagsfs, images.put("d", rootfs_b)),
                                     "--image", image_arg(family::selda, qm::image_rootfs,
                                                          images.put("r", bundle::gzip(rootfs_a)))});
            std::string error;
            reader.device().kernel().faults().add(*sim::parse_fault("eio:/dev/mmcblk0p1", error));
        }
        int result = -1;
        EXPECT_EQ(reader.unbundle(hostile_bundle(images, args), result), fails ? 0 : 1);
        EXPECT_TRUE(test::read_file(reader.host("diagsfs.img")).empty()) << (fails ? "after a failure" : "after success");
    }
}

// ---- The NOR partitions stay locked -----------------------------------------------

TEST(NorLocking, AnEmptyKernelMemberLeavesEveryPartitionLocked) {
    Images images;
    Reader reader(family::orvik);
    const std::string bundle = hostile_bundle(images, {"--member", "uImage=" + images.put("empty", ""), "--image",
                                                       image_arg(family::orvik, qm::image_uboot, images.put("u", uboot))});
    int result = -1;
    EXPECT_EQ(reader.unbundle(bundle, result), 1) << reader.device().console();
    auto& k = reader.device().kernel();
    for (const char* partition : {"/dev/mtdblock/0", "/dev/mtdblock/1"}) {
        const int fd = k.open(partition, O_WRONLY | O_SYNC, 0);
        ASSERT_GE(fd, 0) << partition;
        EXPECT_LT(k.write(fd, "x", 1), 0) << partition << " was left unlocked";
        k.close(fd);
    }
}

// ---- Header failures keep the console's standard input -----------------------------

TEST(HeaderFailure, NeverClosesDescriptorZero) {
    const std::vector<std::string> headers = {"", "FB0", "FC02" + std::string(200000, 'x'),
                                              test::image_bytes(300000, 5), "FB02" + std::string(1000, '\0')};
    for (const std::string& bytes : headers) {
        test::SimDevice device;
        const int fd = test::place_bundle(device, bytes);
        qm::image_check checks[qm::image_type_count]{};
        EXPECT_EQ(qm::do_unbundle("/update.bin", fd, nullptr, qm::selda::check_new_file, checks), 0);
        device.kernel().close(fd);
        EXPECT_EQ(device.kernel().fcntl_setfd(0, 0), 0) << "descriptor 0 closed after a header of " << bytes.size()
                                                         << " bytes";
    }
}


// ---- Attacks from outside the project ---------------------------------------------
//
// Ways to break the promises found by reviewing this area; each case states
// the behaviour the reader must have.

// A fault that starts once the bundle is authorised, before the first install
// attempt: what happens from then on is the install's own doing.
struct LateFault {
    sim::Kernel* kernel;
    const char* fault;
};

int add_late_fault(void* context, const char*, const qm::image_check*) {
    const LateFault& late = *static_cast<LateFault*>(context);
    std::string error;
    late.kernel->faults().add(*sim::parse_fault(late.fault, error));
    return 1;
}

// Runs the unbundle step with the fault starting after the verdict, then
// ends the process normally.
void unbundle_with_late_fault(family f, const std::string& bundle, const char* fault) {
    Reader reader(f);
    LateFault late{&reader.device().kernel(), fault};
    int result = -1;
    reader.unbundle(bundle, result, add_late_fault, &late);
    std::_Exit(0);
}

// The kernel and boot loader are written after the walk, when the walk's
// alarm is already cancelled. A destination that never answers must still
// end by the watchdog (here: the simulated SIGALRM kills the process, as
// the device's handler would restart it), never wait for ever.
TEST(WaitAfterTheWalk, AHungRawDestinationIsEndedByTheWatchdog) {
    // Forked, not re-executed: the ARM test run has no way to execute the
    // program again under the emulator.
    GTEST_FLAG_SET(death_test_style, "fast");
    Images images;
    const std::string kernel = test::image_bytes(300000, 21);
    for (const family f : {family::selda, family::orvik}) {
        const std::string bundle =
            hostile_bundle(images, {"--image", image_arg(f, qm::image_uimage, images.put("k", kernel))});
        const char* fault = f == family::selda ? "hang:/dev/mmcblk0" : "hang:/dev/mtdblock/1";
        EXPECT_EXIT(unbundle_with_late_fault(f, bundle, fault), testing::KilledBySignal(SIGALRM), "")
            << fault << ": the open waited with no alarm armed (the simulation reports it stuck)";
    }
}

// The walk cancels its alarm when it ends; the raw writes after it arm one
// per chunk and leave the last armed. The steps after the update (copying
// the second kernel and boot loader, the diagnostics image to its
// partition) then run under what is left of an alarm that is not theirs,
// and a slow NOR erase restarts the reader in the middle of them.
TEST(WaitAfterTheWalk, NoAlarmIsLeftArmedWhenTheUpdateReturns) {
    Images images;
    const std::string kernel = test::image_bytes(300000, 22);
    for (const family f : {family::selda, family::orvik}) {
        Reader reader(f);
        int result = -1;
        ASSERT_EQ(reader.unbundle(hostile_bundle(images, {"--image", image_arg(f, qm::image_uimage, images.put("k", kernel))}),
                                  result),
                  1)
            << reader.device().console();
        EXPECT_FALSE(reader.device().kernel().clock().alarm_deadline().has_value())
            << (f == family::selda ? "MMC-boot" : "NOR") << ": an alarm is still armed after the update returned";
    }
}

// A gzip root file system may be several members; its trailer gives only
// the size of the last one, so the check pass cannot tell that members
// which together inflate to more than the partition do not fit (only
// inflating them would, which would cost the check pass as much again).
// mkbundle refuses to make such a bundle. On the reader the install stops
// at the end of the partition: nothing is written past it, the update
// fails as one that no attempt can mend (unbundle_damaged: the reader is
// then held in recovery), and what the partition holds is the image's own
// content.
TEST(ImageThatCannotFit, RootFileSystemOfSeveralMembersLargerThanItsPartitionStopsAtItsEnd) {
    Images images;
    // Compressible, so that each member is small: the partition holds 2 MiB.
    const std::string half = test::image_bytes(20000, 23) + std::string(1480000, 'r');
    const std::vector<std::pair<const char*, std::string>> rootfs_images = {
        {"two members of 1.5 MB", bundle::gzip(half) + bundle::gzip(half)},
        {"one member of 3 MB and an empty one", bundle::gzip(half + half) + bundle::gzip("")},
    };
    for (const auto& [label, rootfs] : rootfs_images) {
        SCOPED_TRACE(label);
        Reader reader(family::selda);
        const auto before = reader.snapshot();
        int result = -1;
        EXPECT_EQ(reader.unbundle(hostile_bundle(images, {"--image", image_arg(family::selda, qm::image_rootfs,
                                                                                     images.put("r", rootfs))}),
                                  result),
                  0);
        EXPECT_EQ(result, qm::unbundle_damaged) << reader.device().console();
        EXPECT_PRED2(contains, reader.device().console(), "ERROR:rootfs.img.gz:the image is larger than the 2097152 bytes of /dev/mmcblk0p1\n");
        // The partition holds the start of the content; nothing moved past it.
        expect_storage(family::selda, before, reader.snapshot(),
                       {{qm::image_rootfs, {(half + half).substr(0, 2097152), expect::part}}});
    }
}

// Incompressible data grows a little in gzip: a root file system that fills
// its partition exactly arrives in a member larger than the partition. What
// must fit is what is written, the inflated image.
TEST(ImageThatCannotFit, IncompressibleRootFileSystemThatFillsItsPartitionInstalls) {
    Images images;
    const std::string rootfs = test::image_bytes(2097152, 25);  // the partition holds 2 MiB
    const std::string rootfs_gz = bundle::gzip(rootfs);
    ASSERT_GT(rootfs_gz.size(), rootfs.size());
    Reader reader(family::selda);
    const auto before = reader.snapshot();
    int result = -1;
    EXPECT_EQ(reader.unbundle(hostile_bundle(images, {"--image", image_arg(family::selda, qm::image_rootfs,
                                                                                 images.put("r", rootfs_gz))}),
                              result),
              1)
        << reader.device().console();
    EXPECT_EQ(result, qm::unbundle_installed);
    expect_storage(family::selda, before, reader.snapshot(), {{qm::image_rootfs, {rootfs, expect::installed}}});
}

// The bundle changes between the passes in one byte of one image, at the
// edges of the pieces the install pass proves (the last byte of a piece, the
// first of the next, the last of the member). The changed image is signed
// too, so only the check pass's record can tell. No byte of it may reach a
// destination: the raw regions keep their old bytes, a streamed image holds
// at most verified bytes at their place, and the attempt fails.
TEST(SwappedBetweenThePasses, AByteChangedAtAPieceEdgeNeverReachesStorage) {
    Images images;
    const std::string kernel = test::image_bytes(300000, 24);
    const std::string rootfs_gz = bundle::gzip(rootfs_a);
    const std::map<int, std::string> members = {{qm::image_uboot, uboot},
                                                {qm::image_uimage, kernel},
                                                {qm::image_rootfs, rootfs_gz},
                                                {qm::image_diagsfs, rootfs_b}};
    const auto args_of = [&](family f, int changed_type, size_t at, const std::string& tag) {
        std::vector<std::string> args;
        for (const int type : {qm::image_uboot, qm::image_uimage, qm::image_rootfs, qm::image_diagsfs}) {
            if (f == family::orvik && type == qm::image_diagsfs) continue;
            std::string bytes = members.at(type);
            if (type == changed_type) bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
            args.insert(args.end(), {"--image", image_arg(f, type, images.put(tag + std::to_string(type), bytes))});
        }
        return args;
    };
    struct Change {
        family f;
        int type;
        size_t at;
    };
    const auto last = [&](int type) { return members.at(type).size() - 1; };
    const std::vector<Change> changes = {
        {family::selda, qm::image_uimage, 131071},           {family::selda, qm::image_uimage, last(qm::image_uimage)},
        {family::selda, qm::image_rootfs, 131072},           {family::selda, qm::image_diagsfs, last(qm::image_diagsfs)},
        {family::selda, qm::image_uboot, last(qm::image_uboot)}, {family::orvik, qm::image_uimage, 131072},
    };

    std::vector<std::vector<std::string>> bundle_args = {args_of(family::selda, qm::image_none, 0, "a"),
                                                   args_of(family::orvik, qm::image_none, 0, "a")};
    for (size_t i = 0; i < changes.size(); ++i)
        bundle_args.push_back(args_of(changes[i].f, changes[i].type, changes[i].at, "c" + std::to_string(i) + "-"));
    const std::vector<std::string> bundles = hostile_bundles(images, bundle_args);

    std::map<family, std::unique_ptr<Reader>> readers;
    for (size_t i = 0; i < changes.size(); ++i) {
        const Change& c = changes[i];
        SCOPED_TRACE(std::string(qm::bundle_info_name(c.type)) + " changed at byte " + std::to_string(c.at) +
                     (c.f == family::selda ? " (MMC-boot)" : " (NOR)"));
        auto& reader = readers[c.f];
        if (!reader) reader = std::make_unique<Reader>(c.f);
        std::string error;
        reader->device().kernel().faults().add(*sim::parse_fault("swap:/update.bin:" + bundles[2 + i], error));
        const auto before = reader->snapshot();
        int result = -1;
        EXPECT_EQ(reader->unbundle(bundles[c.f == family::selda ? 0 : 1], result), 0);
        const std::string console = reader->device().take_console();
        EXPECT_PRED2(contains, console, "differs from the image that was verified");
        EXPECT_EQ(result, qm::unbundle_install_failed);
        expect_storage(c.f, before, reader->snapshot(),
                       {{qm::image_rootfs, {rootfs_a, expect::part}}, {qm::image_diagsfs, {rootfs_b, expect::either}}});
    }
}


// The other way round: a bundle whose images stay the same while everything
// around them changes between the passes (compressed at another level, so
// every compressed byte moves; a text member of another length before the
// images, so every image starts elsewhere in the archive and in the
// pipeline's blocks) still installs, and installs exactly its images.
TEST(SwappedBetweenThePasses, ChangesAroundUnchangedImagesStillInstallExactly) {
    Images images;
    const std::string kernel = test::image_bytes(300000, 25);
    const auto args = [&](const std::string& text, const std::string& level) {
        return std::vector<std::string>{"--level", level, "--member", "update.dat=" + images.put("t" + level, text),
                                        "--image", image_arg(family::selda, qm::image_uimage, images.put("k", kernel)),
                                        "--image", image_arg(family::selda, qm::image_rootfs,
                                                             images.put("r", bundle::gzip(rootfs_a)))};
    };
    const std::vector<std::string> bundles =
        hostile_bundles(images, {args("first text\n", "9"), args(std::string(70000, 'x') + "\n", "1")});
    Reader reader(family::selda);
    std::string error;
    reader.device().kernel().faults().add(*sim::parse_fault("swap:/update.bin:" + bundles[1], error));
    const auto before = reader.snapshot();
    int result = -1;
    EXPECT_EQ(reader.unbundle(bundles[0], result), 1) << reader.device().console();
    expect_storage(family::selda, before, reader.snapshot(),
                   {{qm::image_uimage, {kernel, expect::installed}}, {qm::image_rootfs, {rootfs_a, expect::installed}}});
}

// The install pass leaves the payload's gzip trailer to the check pass: a
// trailer damaged between the passes changes nothing the install pass
// writes, and the same damage seen by the check pass refuses the bundle
// with the storage untouched.
TEST(SwappedBetweenThePasses, APayloadTrailerDamagedForTheInstallPassOnlyStillInstallsExactly) {
    Images images;
    const std::string kernel = test::image_bytes(300000, 26);
    const std::vector<std::string> bundles = hostile_bundles(
        images, {{"--image", image_arg(family::selda, qm::image_uimage, images.put("k", kernel)), "--image",
                  image_arg(family::selda, qm::image_rootfs, images.put("r", bundle::gzip(rootfs_a)))}});
    std::string damaged = test::read_file(bundles[0]);
    damaged[damaged.size() - 6] = static_cast<char>(damaged[damaged.size() - 6] ^ 0x10);  // inside the CRC-32
    const std::string damaged_path = images.put("damaged", damaged);

    Reader reader(family::selda);
    std::string error;
    reader.device().kernel().faults().add(*sim::parse_fault("swap:/update.bin:" + damaged_path, error));
    const auto before = reader.snapshot();
    int result = -1;
    EXPECT_EQ(reader.unbundle(bundles[0], result), 1) << reader.device().console();
    expect_storage(family::selda, before, reader.snapshot(),
                   {{qm::image_uimage, {kernel, expect::installed}}, {qm::image_rootfs, {rootfs_a, expect::installed}}});

    Reader refusing(family::selda);
    const auto untouched = refusing.snapshot();
    EXPECT_EQ(refusing.unbundle(damaged_path, result), 0);
    EXPECT_PRED2(contains, refusing.device().take_console(), "incorrect data check");
    EXPECT_EQ(refusing.snapshot(), untouched);
}

// The install pass's payload, the bundle unscrambled past its header block.
std::string payload_of(const std::string& bundle_path) {
    std::string payload = test::read_file(bundle_path).substr(qm::bundle_header_size);
    qm::payload_unscramble({reinterpret_cast<uint8_t*>(payload.data()), payload.size()});
    return payload;
}

std::string bundle_around(const std::string& bundle_path, std::string payload) {
    qm::payload_scramble({reinterpret_cast<uint8_t*>(payload.data()), payload.size()});
    return test::read_file(bundle_path).substr(0, qm::bundle_header_size) + payload;
}

// The payload with a gzip header that carries an extra field, a name and a
// header CRC that is wrong; the name is as long as it takes for the
// trailer's byte at into_trailer to open a block of the pipeline's reads.
std::string with_long_header(const std::string& payload, size_t into_trailer) {
    const size_t added_but_name = 2 + 4 + 1 + 2;  // extra length, extra field, end of name, header CRC
    const size_t block = qm::bundle_input_block;
    size_t name = (block - (payload.size() + added_but_name - 8 + into_trailer) % block) % block;
    if (name == 0) name = block;
    std::string header = payload.substr(0, 10);
    header[3] = static_cast<char>(header[3] | 0x02 | 0x04 | 0x08);
    header += std::string("\x04\x00QM\x00\x00", 6) + std::string(name, 'n') + '\0';
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(header.data()), static_cast<uInt>(header.size()));
    header += static_cast<char>(~crc & 0xff);
    header += static_cast<char>(~crc >> 8 & 0xff);
    std::string changed = header + payload.substr(10);
    if ((changed.size() - 8 + into_trailer) % block != 0) throw std::logic_error("trailer not at a read boundary");
    return changed;
}

// With the trailer left to the check pass, nothing else in the install pass
// notices a tail that changed after the check: what keeps the install exact
// is the proof of each piece, and what keeps a bundle that is not whole from
// being called installed is the walk reaching the end of the gzip member.
// Each case changes only the copy the install pass reads, on both families
// (NOR flash is unlocked, written and locked after the walk):
//  - a gzip header with an extra field, a name and a wrong header CRC, a
//    trailer wholly wrong and split across two reads, then junk and a second
//    gzip member whose archive holds an unsigned kernel: installs exactly;
//  - the same header, the file ending inside the trailer at a read boundary:
//    fails, the raw regions keep their bytes;
//  - the last byte of the kernel changed (not signed again) under the old
//    trailer, as a medium that drops a bit would leave it: fails, the raw
//    regions keep their bytes.
TEST(SwappedBetweenThePasses, ATailChangedForTheInstallPassOnlyInstallsTheVerifiedImagesOrNothing) {
    Images images;
    const std::string kernel = test::image_bytes(300000, 28);
    std::string kernel_changed = kernel;
    kernel_changed.back() = static_cast<char>(kernel_changed.back() ^ 0x01);
    const std::string rootfs_gz = bundle::gzip(rootfs_a);
    const auto args_of = [&](family f, const std::string& kernel_path) {
        std::vector<std::string> args = {"--image", image_arg(f, qm::image_uimage, kernel_path), "--image",
                                         image_arg(f, qm::image_rootfs, images.path("r")), "--image",
                                         image_arg(f, qm::image_uboot, images.path("u"))};
        if (f == family::selda)
            args.insert(args.end(), {"--image", image_arg(f, qm::image_diagsfs, images.path("d"))});
        return args;
    };
    images.put("r", rootfs_gz);
    images.put("u", uboot);
    images.put("d", rootfs_b);
    const std::string kernel_path = images.put("k", kernel);
    const std::string changed_path = images.put("k2", kernel_changed);
    for (const family f : {family::selda, family::orvik}) {
        SCOPED_TRACE(f == family::selda ? "MMC-boot" : "NOR");
        const std::vector<std::string> bundles = hostile_bundles(
            images, {args_of(f, kernel_path), args_of(f, changed_path),
                     {"--member", kernel_name(f) + "=" + images.put("e", evil), "--member",
                      uboot_name(f) + "=" + images.path("e")}});
        const std::string payload = payload_of(bundles[0]);
        ASSERT_EQ(payload[3], '\0') << "the maker's gzip header carries flags";

        std::string long_header = with_long_header(payload, 5);
        for (size_t i = long_header.size() - 8; i < long_header.size(); ++i) long_header[i] ^= 0x5a;
        const std::string cut = with_long_header(payload, 3);
        std::string stale = payload_of(bundles[1]);
        stale.replace(stale.size() - 8, 8, payload.substr(payload.size() - 8));
        struct Case {
            const char* what;
            std::string copy;
            bool installs;
        };
        const std::vector<Case> cases = {
            {"header, trailer and what follows the member changed",
             long_header + std::string(70000, 'j') + payload_of(bundles[2]), true},
            {"the file ends inside the trailer", cut.substr(0, cut.size() - 8 + 3), false},
            {"a kernel byte changed under the old trailer", stale, false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            Reader reader(f);
            std::string error;
            reader.device().kernel().faults().add(
                *sim::parse_fault("swap:/update.bin:" + images.put("copy", bundle_around(bundles[0], c.copy)), error));
            const auto before = reader.snapshot();
            int result = -1;
            EXPECT_EQ(reader.unbundle(bundles[0], result), c.installs ? 1 : 0);
            const std::string console = reader.device().take_console();
            if (c.installs) {
                EXPECT_EQ(result, qm::unbundle_installed) << console;
                std::map<int, Outcome> outcomes = {{qm::image_uimage, {kernel, expect::installed}},
                                                   {qm::image_uboot, {uboot, expect::installed}},
                                                   {qm::image_rootfs, {rootfs_a, expect::installed}}};
                if (f == family::selda) outcomes[qm::image_diagsfs] = {rootfs_b, expect::installed};
                expect_storage(f, before, reader.snapshot(), outcomes);
                // The check pass reading the same copy refuses it.
                Reader refusing(f);
                const auto untouched = refusing.snapshot();
                EXPECT_EQ(refusing.unbundle(images.path("copy"), result), 0);
                EXPECT_PRED2(contains, refusing.device().take_console(), "header crc mismatch");
                EXPECT_EQ(refusing.snapshot(), untouched);
                continue;
            }
            EXPECT_EQ(result, qm::unbundle_install_failed) << console;
            EXPECT_FALSE(contains(console, kernel_name(f) + " update successful")) << console;
            EXPECT_FALSE(contains(console, uboot_name(f) + " update successful")) << console;
            expect_storage(f, before, reader.snapshot(),
                           {{qm::image_rootfs, {rootfs_a, expect::part}}, {qm::image_diagsfs, {rootfs_b, expect::either}}});
        }
    }
}

}  // namespace

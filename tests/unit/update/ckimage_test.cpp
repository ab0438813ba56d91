#include "update/ckimage.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sim/faults.h"
#include "support/param_name.h"
#include "support/simkernel.h"
#include "support/testdir.h"
#include "support/pattern.h"
#include "update/crc.h"

namespace {

// Fixtures take their CRCs from zlib, not from the code under test.
uint32_t zcrc(const std::string& bytes) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
}

void put_be32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

void put_le32(std::string& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

using test::pattern;

// A uImage: ARM Linux kernel, uncompressed, named "Linux-test".
std::string uimage(const std::string& data) {
    std::string h(64, '\0');
    put_be32(h, 0, 0x27051956);
    put_be32(h, 8, 1796083200);
    put_be32(h, 12, static_cast<uint32_t>(data.size()));
    put_be32(h, 16, 0x70008000);
    put_be32(h, 20, 0x70008000);
    put_be32(h, 24, zcrc(data));
    h[28] = 5;
    h[29] = 2;
    h[30] = 2;
    h[31] = 0;
    std::memcpy(&h[32], "Linux-test", 10);
    put_be32(h, 4, zcrc(h));
    return h + data;
}

// A boot loader of `size` bytes whose descriptor claims `length` bytes.
std::string bootloader(size_t size, uint32_t length, const char* name = "boot-test") {
    std::string b = pattern(size, 3);
    put_le32(b, 32, length);
    put_le32(b, 36, 0);
    std::memcpy(&b[40], "BMGK", 4);
    std::memset(&b[44], 0, 48);
    std::memcpy(&b[44], name, std::strlen(name));
    std::string covered = b.substr(0, std::max<size_t>(length, 40));
    put_le32(b, 36, zcrc(covered));
    return b;
}

std::string flipped(std::string bytes, size_t at) {
    bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
    return bytes;
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%#x", v);
    return text;
}

TEST(Crc32, MatchesZlibWholeAndInPieces) {
    const uint8_t check[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(~qm::crc32_calc(check, sizeof check, 0xFFFFFFFF), 0xCBF43926u);
    EXPECT_EQ(~qm::crc32_calc(check, 0, 0xFFFFFFFF), 0u);
    const std::string bytes = pattern(70'001, 9);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(~qm::crc32_calc(data, bytes.size(), 0xFFFFFFFF), zcrc(bytes));
    uint32_t reg = 0xFFFFFFFF;
    for (size_t at = 0; at < bytes.size(); at += 513)
        reg = qm::crc32_calc(data + at, std::min<size_t>(513, bytes.size() - at), reg);
    EXPECT_EQ(~reg, zcrc(bytes));
}

// ---- Verdicts with the default settings ---------------------------------

struct VerdictCase {
    const char* name;
    std::string object;
    const char* label;
    int result;
    std::string console;
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class CheckObject : public testing::TestWithParam<VerdictCase> {};

TEST_P(CheckObject, GivesTheVerdict) {
    const VerdictCase& c = GetParam();
    test::SimDevice device;
    test::write_file(device.host("obj"), c.object);
    qm::ckimage_configure(0, 0, 0);
    EXPECT_EQ(qm::check_object("/obj", c.label), c.result);
    EXPECT_EQ(device.console(), c.console);
}

const std::string kernel = uimage(pattern(40'000, 1));
const std::string loader = bootloader(20'000, 20'000);

INSTANTIATE_TEST_SUITE_P(
    Objects, CheckObject,
    testing::Values(
        VerdictCase{"uimage_intact", kernel, "Kernel1", 1, "uImage OK : Kernel1\n"},
        VerdictCase{"uimage_data_byte_flipped", flipped(kernel, 64 + 39'999), "Kernel2", 0,
                    "uImage FAILED : Kernel2\n"},
        VerdictCase{"uimage_then_erased_flash", kernel + std::string(100'000, '\xff'), "Kernel1", 1,
                    "uImage OK : Kernel1\n"},
        VerdictCase{"uimage_cut_short", kernel.substr(0, 30'000), "Kernel1", 0,
                    "/obj:short file\nuImage FAILED : Kernel1\n"},
        VerdictCase{"uimage_without_data", uimage(""), "Kernel1", 1, "uImage OK : Kernel1\n"},
        VerdictCase{"uimage_bad_header_crc", flipped(kernel, 40), "Kernel1", 0, "check FAILED : Kernel1\n"},
        VerdictCase{"uimage_null_label", kernel, nullptr, 1, "uImage OK : \n"},
        VerdictCase{"erased_partition", std::string(65'536, '\xff'), "Bootloader1", 0,
                    "check FAILED : Bootloader1\n"},
        VerdictCase{"empty_object", "", "Kernel1", 0, "check FAILED : Kernel1\n"},
        VerdictCase{"header_only_object", std::string(20, 'x'), "Kernel1", 0, "check FAILED : Kernel1\n"},
        VerdictCase{"bootloader_intact", loader, "Bootloader1", 1, "u-boot OK : Bootloader1\n"},
        VerdictCase{"bootloader_then_erased_flash", loader + std::string(50'000, '\xff'), "Bootloader2", 1,
                    "u-boot OK : Bootloader2\n"},
        VerdictCase{"bootloader_length_changed",
                    [] {
                        std::string b = loader;
                        put_le32(b, 32, 19'999);
                        return b;
                    }(),
                    "Bootloader1", 0, "u-boot FAILED : Bootloader1\n"},
        VerdictCase{"bootloader_byte_flipped", flipped(loader, 17'000), "Bootloader1", 0,
                    "u-boot FAILED : Bootloader1\n"},
        VerdictCase{"bootloader_crc_field_not_counted", flipped(loader, 38), "Bootloader1", 0,
                    "u-boot FAILED : Bootloader1\n"},
        VerdictCase{"bootloader_cut_short", loader.substr(0, 16'400), "Bootloader1", 0,
                    "/obj:short file\nu-boot FAILED : Bootloader1\n"},
        VerdictCase{"bootloader_length_below_forty_covers_forty", bootloader(200, 12), "Bootloader1", 1,
                    "u-boot OK : Bootloader1\n"}),
    test::ParamName());

// ---- Settings: quiet, verbose levels and file names ---------------------

struct SettingsCase {
    const char* name;
    int verbose, filename, quiet;
    std::string object;
    int result;
    std::string console;
};

void PrintTo(const SettingsCase& c, std::ostream* os) { *os << c.name; }

class CheckObjectSettings : public testing::TestWithParam<SettingsCase> {};

TEST_P(CheckObjectSettings, PrintWhatTheSettingsAskFor) {
    const SettingsCase& c = GetParam();
    test::SimDevice device;
    test::write_file(device.host("obj"), c.object);
    qm::ckimage_configure(c.verbose, c.filename, c.quiet);
    EXPECT_EQ(qm::check_object("/obj", "K"), c.result);
    qm::ckimage_configure(0, 0, 0);
    EXPECT_EQ(device.console(), c.console);
}

const std::string small_loader = bootloader(4096, 4096, "boot");
const uint32_t small_loader_crc = zcrc([] {
    std::string b = small_loader;
    put_le32(b, 36, 0);
    return b;
}());
const std::string small_kernel = uimage("0123456789");

INSTANTIATE_TEST_SUITE_P(
    Settings, CheckObjectSettings,
    testing::Values(
        SettingsCase{"quiet_failure_prints_nothing", 0, 0, 1, flipped(kernel, 100), 0, ""},
        SettingsCase{"quiet_success_prints_nothing", 0, 1, 1, kernel, 1, ""},
        SettingsCase{"quiet_still_says_short_file", 0, 0, 1, kernel.substr(0, 1000), 0, "/obj:short file\n"},
        SettingsCase{"quiet_overrides_verbose", 4, 1, 1, small_loader, 1, ""},
        SettingsCase{"file_name_before_verdicts", 0, 1, 0, kernel.substr(0, 1000), 0,
                     "/obj:short file\n/obj:uImage FAILED : K\n"},
        SettingsCase{"verbose_one_names_bad_header_crc", 1, 0, 0, flipped(kernel, 40), 0,
                     "Bad header CRC\nNot a u-boot file (bad magic)\ncheck FAILED : K\n"},
        SettingsCase{"verbose_one_is_silent_about_other_files", 1, 0, 0, std::string(100, 'z'), 0,
                     "Not a u-boot file (bad magic)\ncheck FAILED : K\n"},
        SettingsCase{"verbose_two_says_not_a_uimage", 2, 1, 0, std::string(100, 'z'), 0,
                     "/obj:Not a uImage file\n/obj:Not a u-boot file (bad magic)\n/obj:check FAILED : K\n"},
        SettingsCase{"verbose_four_dumps_a_uimage", 4, 1, 0, small_kernel, 1,
                     "/obj:\ntype=uimage\nname='Linux-test'\nheader_crc=" + hex(zcrc([] {
                         std::string h = small_kernel.substr(0, 64);
                         put_be32(h, 4, 0);
                         return h;
                     }())) +
                         "\nsize=10\ndata_crc=" + hex(zcrc("0123456789")) +
                         "\ntime=1796083200\nload=0x70008000\nep=0x70008000\nos=Linux (5)\narch=ARM (2)\n"
                         "type=Kernel (2)\ncomp=None (0)\n/obj:uImage OK : K\n"},
        SettingsCase{"verbose_four_dumps_a_bootloader_and_both_crcs", 4, 0, 0, small_loader, 1,
                     "Not a uImage file\ntype=u-boot\nname='boot'\nsize=4096\ndata_crc=" + hex(small_loader_crc) + "\n/obj:crc=" +
                         hex(small_loader_crc) + " calculated=" + hex(small_loader_crc) + "\nu-boot OK : K\n"}),
    test::ParamName());

TEST(CheckObjectNames, UnknownCodesPrintUnknown) {
    std::string k = uimage("x");
    k[28] = 21;
    k[29] = 19;
    k[30] = 9;
    k[31] = 3;
    put_be32(k, 4, 0);
    put_be32(k, 4, zcrc(k.substr(0, 64)));
    test::SimDevice device;
    test::write_file(device.host("obj"), k);
    qm::ckimage_configure(4, 0, 0);
    EXPECT_EQ(qm::check_object("/obj", "K"), 1);
    qm::ckimage_configure(0, 0, 0);
    const std::string& c = device.console();
    EXPECT_NE(c.find("os=Unknown (15)\narch=Unknown (19)\ntype=Unknown (9)\ncomp=Unknown (3)\n"), std::string::npos)
        << c;
}

// ---- Failures of the file itself ----------------------------------------

TEST(CheckObjectErrors, MissingFileIsReportedWithoutAVerdict) {
    test::SimDevice device;
    qm::ckimage_configure(0, 0, 0);
    EXPECT_EQ(qm::check_object("/nothing", "Kernel1"), 0);
    EXPECT_EQ(device.take_console(), "/nothing:No such file or directory\n");
    qm::ckimage_configure(0, 0, 1);
    EXPECT_EQ(qm::check_object("/nothing", "Kernel1"), 0);
    qm::ckimage_configure(0, 0, 0);
    EXPECT_EQ(device.console(), "");
}

struct ReadFaultCase {
    const char* name;
    std::string object;
    long nth_read;  // which read of the object fails
    std::string console;
};

void PrintTo(const ReadFaultCase& c, std::ostream* os) { *os << c.name; }

class CheckObjectReadFault : public testing::TestWithParam<ReadFaultCase> {};

TEST_P(CheckObjectReadFault, ReadErrorFailsTheCheck) {
    const ReadFaultCase& c = GetParam();
    test::SimDevice device;
    test::write_file(device.host("obj"), c.object);
    device.kernel().faults().add({sim::Fault::Kind::read_error, "/obj", c.nth_read});
    qm::ckimage_configure(0, 0, 0);
    EXPECT_EQ(qm::check_object("/obj", "K"), 0);
    EXPECT_EQ(device.console(), c.console);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, CheckObjectReadFault,
    testing::Values(
        // The header cannot be read: the boot-loader test still runs and finds no descriptor.
        ReadFaultCase{"uimage_header", kernel, 1, "/obj:Input/output error\ncheck FAILED : K\n"},
        ReadFaultCase{"uimage_data", kernel, 2, "/obj:Input/output error\nuImage FAILED : K\n"},
        ReadFaultCase{"descriptor", loader, 2, "/obj:Input/output error\ncheck FAILED : K\n"},
        ReadFaultCase{"bootloader_body", loader, 5, "/obj:Input/output error\nu-boot FAILED : K\n"}),
    test::ParamName());

// ---- Images written by mkimage ------------------------------------------

struct MkimageCase {
    const char* name;
    const char* options;
};

class CheckObjectMkimage : public testing::TestWithParam<MkimageCase> {};

TEST_P(CheckObjectMkimage, IntactImagePassesAndOneFlippedDataByteFails) {
    test::TempDir dir;
    test::write_file(dir / "payload", pattern(123'457, 5));
    const std::string command = std::string("mkimage ") + GetParam().options + " -n 'quillmar test' -d '" +
                                (dir / "payload") + "' '" + (dir / "uImage") + "' >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    const std::string image = test::read_file(dir / "uImage");
    ASSERT_EQ(image.size(), 64u + 123'457u);

    test::SimDevice device;
    qm::ckimage_configure(0, 0, 0);
    test::write_file(device.host("uImage"), image);
    EXPECT_EQ(qm::check_object("/uImage", "Kernel1"), 1);
    EXPECT_EQ(device.take_console(), "uImage OK : Kernel1\n");
    test::write_file(device.host("uImage"), flipped(image, 64 + 60'000));
    EXPECT_EQ(qm::check_object("/uImage", "Kernel1"), 0);
    EXPECT_EQ(device.console(), "uImage FAILED : Kernel1\n");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, CheckObjectMkimage,
    testing::Values(MkimageCase{"arm_linux_kernel", "-A arm -O linux -T kernel -C none -a 0x70008000 -e 0x70008000"},
                    MkimageCase{"gzip_ramdisk", "-A arm -O linux -T ramdisk -C gzip"}),
    test::ParamName());

// ---- Sealing a boot loader ----------------------------------------------

// What a sealed image must hold, built with zlib's CRC.
std::string sealed(std::string image, const char* name) {
    put_le32(image, 32, static_cast<uint32_t>(image.size()));
    put_le32(image, 36, 0);
    std::memcpy(&image[40], "BMGK", 4);
    if (name) {
        std::memset(&image[44], 0, 48);
        std::memcpy(&image[44], name, std::strlen(name));
    }
    put_le32(image, 36, zcrc(image));
    return image;
}

int seal(std::string& image, const char* name) {
    return qm::ckimage_seal_bootloader({reinterpret_cast<uint8_t*>(image.data()), image.size()}, name);
}

TEST(SealBootloader, DescriptorMatchesAnIndependentCrcAndPassesTheCheck) {
    const std::string original = pattern(70'000, 8);
    std::string image = original;
    ASSERT_EQ(seal(image, "team build 7"), 1);
    EXPECT_TRUE(image == sealed(original, "team build 7"));

    test::SimDevice device;
    test::write_file(device.host("boot"), image);
    qm::ckimage_configure(0, 0, 0);
    EXPECT_EQ(qm::check_object("/boot", "Bootloader1"), 1);
    EXPECT_EQ(device.console(), "u-boot OK : Bootloader1\n");
}

TEST(SealBootloader, KeepsTheNameWhenNoneIsGivenAndRefusesWhatCannotHoldADescriptor) {
    // The image grew after it was sealed: sealing again fixes length and CRC.
    const std::string grown = bootloader(500, 500, "kept name") + std::string(100, '\x5a');
    std::string image = grown;
    ASSERT_EQ(seal(image, nullptr), 1);
    EXPECT_TRUE(image == sealed(grown, nullptr));
    EXPECT_EQ(image.substr(44, 10), std::string("kept name\0", 10));

    std::string small(91, '\0');
    EXPECT_EQ(seal(small, "x"), 0);
    EXPECT_EQ(small, std::string(91, '\0'));
    EXPECT_EQ(seal(image, std::string(49, 'n').c_str()), 0);
    EXPECT_TRUE(image == sealed(grown, nullptr));
}

}  // namespace

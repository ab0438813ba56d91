// mkbundle run as a person would, and its signatures checked against
// openssl in both directions.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "hex_text.h"
#include "support/command_run.h"
#include "support/param_name.h"

namespace {

using test::contains;
using test::read_file;
using test::write_file;

using ToolRun = test::CommandRun;
using test::run_in;

const std::string mkbundle = QM_MKBUNDLE;
std::string key(int n) { return test::dev_key_path(n); }
std::string public_key(int n) {
    return std::string(QM_KEYS_DIR) + (n == 1 ? "/dev-key1-rsa1024.pub.pem" : "/dev-key2-rsa2048.pub.pem");
}

bool exists(const std::string& path) { return std::filesystem::exists(path); }

// Image files of a family in a fresh directory.
struct Images {
    test::TempDir dir;
    Images() {
        write_file(dir / "k.img", test::image_bytes(300000, 1));
        write_file(dir / "ub.bin", test::image_bytes(40000, 2));
        write_file(dir / "rootfs.img.gz", bundle::gzip(test::image_bytes(200000, 3)));
        write_file(dir / "notes.txt", "first line\nsecond line\n");
    }
};

// ---- create and verify --------------------------------------------------

struct FamilyCase {
    const char* name;
    const char* family;
    std::string members;
};

class CreateAndVerify : public testing::TestWithParam<FamilyCase> {};

TEST_P(CreateAndVerify, AuthorisedForItsFamilyRefusedWithOneByteFlipped) {
    const FamilyCase& c = GetParam();
    Images images;
    const ToolRun made = run_in(images.dir, mkbundle + " create --out update.bin --family " + c.family + " " + c.members);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_PRED2(contains, made.err, "development key");

    const ToolRun ok = run_in(images.dir, mkbundle + " verify --family " + std::string(c.family) + " update.bin");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_PRED2(contains, ok.out, "update.bin is authorised to install on the " + std::string(c.family));
    EXPECT_PRED2(contains, ok.err, "INFO:UImage:Present siglen=128 sigpassed=Yes\n");
    EXPECT_PRED2(contains, ok.err, "INFO:UBoot:Present siglen=128 sigpassed=Yes\n");
    EXPECT_PRED2(contains, ok.err, "INFO:RootFS:Present siglen=128 sigpassed=Yes\n");
    EXPECT_PRED2(contains, ok.out, "update-notes.dat:second line\n");

    std::string bytes = read_file(images.dir / "update.bin");
    bytes[131072 + (bytes.size() - 131072) / 2] ^= 0x04;
    write_file(images.dir / "tampered.bin", bytes);
    const ToolRun refused = run_in(images.dir, mkbundle + " verify --family " + std::string(c.family) + " tampered.bin");
    EXPECT_EQ(refused.status, 1);
    EXPECT_PRED2(contains, refused.out, "is NOT authorised");
}

INSTANTIATE_TEST_SUITE_P(
    Families, CreateAndVerify,
    testing::Values(FamilyCase{"selda", "selda",
                               "imx35_selda/uImage=k.img imx35_selda/u-boot.bin=ub.bin "
                               "update-notes.dat=notes.txt rootfs.img.gz=rootfs.img.gz"},
                    FamilyCase{"orvik", "orvik",
                               "uImage=k.img imx31_orvik/u-boot.bin=ub.bin update-notes.dat=notes.txt "
                               "rootfs.img.gz=rootfs.img.gz"}),
    test::ParamName());

// The device's progress lines are rewritten in place with carriage
// returns; a standard output that is a file or a pipe (a build log) gets
// each line once, as it ends, and the transcript is otherwise the same.
TEST(MkbundleVerify, OutputThatIsNoTerminalGetsWholeLines) {
    Images images;
    ASSERT_EQ(run_in(images.dir, mkbundle + " create --out u.bin imx35_selda/uImage=k.img rootfs.img.gz=rootfs.img.gz")
                  .status,
              0);
    const ToolRun ok = run_in(images.dir, mkbundle + " verify u.bin");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out.find('\r'), std::string::npos) << ok.out;
    EXPECT_EQ(ok.out.find("imx35_selda/uImage 131072"), std::string::npos) << "no redraw on the way: " << ok.out;
    EXPECT_PRED2(contains, ok.out, "\nimx35_selda/uImage 300000     [######################################]\n");
    EXPECT_PRED2(contains, ok.out, "u.bin is authorised to install on the selda family\n");
}

TEST(MkbundleCreate, TwoKeysTakeTurnsOverTheImages) {
    Images images;
    const ToolRun made = run_in(images.dir, mkbundle + " create --out u.bin --key " + key(1) + " --key " + key(2) +
                                            " imx35_selda/uImage=k.img imx35_selda/u-boot.bin=ub.bin");
    ASSERT_EQ(made.status, 0) << made.err;
    const ToolRun ok = run_in(images.dir, mkbundle + " verify u.bin");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_PRED2(contains, ok.err, "INFO:UImage:Present siglen=128 sigpassed=Yes\n");
    EXPECT_PRED2(contains, ok.err, "INFO:UBoot:Present siglen=256 sigpassed=Yes\n");
}

TEST(MkbundleCreate, WildcardImageGetsTheSignatureNameTheDeviceExpects) {
    Images images;
    const ToolRun made = run_in(images.dir, mkbundle + " create --out u.bin rootfs_v2.img.gz=rootfs.img.gz");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_PRED2(contains, made.err, "WARNING: rootfs_v2.img.gz: the device would not pair rootfs_v2.img.gz.sig");
    EXPECT_PRED2(contains, made.out, "rootfs.img.gz.sig: signature of rootfs_v2.img.gz");
    EXPECT_EQ(run_in(images.dir, mkbundle + " verify u.bin").status, 0);
}

TEST(MkbundleCreate, OverTheAirMagicIsRefusedByTheDevice) {
    Images images;
    ASSERT_EQ(run_in(images.dir, mkbundle + " create --ota --out u.bin imx35_selda/uImage=k.img").status, 0);
    const ToolRun r = run_in(images.dir, mkbundle + " verify u.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_PRED2(contains, r.err, "ERROR: OTA version not supported.\n");
}

// A member that is already gzip goes into the payload stored, other members
// compressed: a gzip member of a megabyte of zeros (itself stored, so a
// second compression would shrink it to almost nothing) keeps its size, a
// text member of a megabyte of one letter does not. gzip and Python read the
// payload, and the device's check pass authorises the bundle.
TEST(MkbundleCreate, StoresMembersThatAreAlreadyCompressed) {
    test::TempDir dir;
    const std::string zeros(1 << 20, '\0');
    write_file(dir / "rootfs.img.gz", bundle::gzip(zeros, 0));
    write_file(dir / "notes.txt", std::string(1 << 20, 'x'));
    const ToolRun made = run_in(dir, mkbundle + " create --out u.bin rootfs.img.gz=rootfs.img.gz update-a.dat=notes.txt");
    ASSERT_EQ(made.status, 0) << made.err;
    const size_t payload = std::filesystem::file_size(dir / "u.bin") - 131072;
    EXPECT_GT(payload, (1u << 20) + 64);
    EXPECT_LT(payload, (1u << 20) + (64u << 10));

    const ToolRun python = run_in(
        dir,
        "{ python3 -c '\n"
        "import gzip, io, sys, tarfile\n"
        "raw = open(\"u.bin\", \"rb\").read()[131072:]\n"
        "plain = bytes(((((b << 4) | (b >> 4)) & 255) ^ 0x5C) for b in range(256))\n"
        "open(\"payload.gz\", \"wb\").write(raw.translate(plain))\n"
        "with tarfile.open(fileobj=io.BytesIO(gzip.decompress(raw.translate(plain)))) as t:\n"
        "    for m in t.getmembers(): print(m.name, len(t.extractfile(m).read()))\n"
        "' && gzip -t payload.gz && gzip -dc payload.gz | tar -xOf - rootfs.img.gz | cmp - rootfs.img.gz; }");
    EXPECT_EQ(python.status, 0) << python.err;
    EXPECT_EQ(python.out, "rootfs.img.gz " + std::to_string(std::filesystem::file_size(dir / "rootfs.img.gz")) +
                              "\nrootfs.img.gz.sig 128\nupdate-a.dat 1048576\n");

    const ToolRun ok = run_in(dir, mkbundle + " verify u.bin");
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_PRED2(contains, ok.err, "INFO:RootFS:Present siglen=128 sigpassed=Yes\n");
}

struct CreateFailure {
    const char* name;
    std::string args;
    std::string message;
};

class MkbundleCreateRefuses : public testing::TestWithParam<CreateFailure> {};

TEST_P(MkbundleCreateRefuses, WithoutTouchingTheOutput) {
    const CreateFailure& c = GetParam();
    Images images;
    write_file(images.dir / "u.bin", "old contents");
    const ToolRun r = run_in(images.dir, mkbundle + " create --out u.bin " + c.args);
    EXPECT_NE(r.status, 0);
    EXPECT_PRED2(contains, r.err, c.message);
    EXPECT_EQ(read_file(images.dir / "u.bin"), "old contents");
    // No temporary file is left behind either.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(images.dir.path())) files += entry.is_regular_file();
    EXPECT_EQ(files, 5u);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, MkbundleCreateRefuses,
    testing::Values(
        CreateFailure{"missing_input", "imx35_selda/uImage=k.img notes=absent.txt", "absent.txt: No such file"},
        CreateFailure{"second_image_of_a_type", "rootfs.img.gz=rootfs.img.gz rootfs-b.img.gz=rootfs.img.gz",
                      "a second RootFS image"},
        CreateFailure{"signature_given_by_hand", "imx35_selda/uImage.sig=ub.bin", "made by mkbundle itself"},
        CreateFailure{"name_leaving_the_archive", "../x=ub.bin", "not a member name"},
        CreateFailure{"name_too_long", std::string(101, 'n') + "=ub.bin", "at most 100 bytes"},
        CreateFailure{"unreadable_key", "--key nokey.pem imx35_selda/uImage=k.img", "nokey.pem"},
        CreateFailure{"key_that_is_no_key", "--key notes.txt imx35_selda/uImage=k.img", "notes.txt"},
        CreateFailure{"no_members", "", "at least one NAME=PATH"}),
    test::ParamName());

// Images that cannot fit their destination: create refuses them and makes
// nothing; a bundle made around them anyway is refused by verify, as the
// device's check pass refuses it.
TEST(MkbundleCreate, RefusesImagesLargerThanTheirDestination) {
    struct Oversize {
        std::string member;
        std::string data;
        std::string create_message;
        std::string verify_message;
    };
    const std::vector<Oversize> cases = {
        {"imx35_selda/uImage", std::string(3407873, 'k'), "3407873 bytes do not fit in the 3407872 bytes",
         "ERROR:UImage:imx35_selda/uImage holds 3407873 bytes, more than the 3407872 bytes of its destination"},
        {"imx35_selda/u-boot.bin", std::string(262145, 'b'), "262145 bytes do not fit in the 262144 bytes",
         "ERROR:UBoot:imx35_selda/u-boot.bin holds 262145 bytes, more than the 262144 bytes of its destination"},
        // Small in the bundle, too large once inflated onto its partition.
        {"rootfs.img.gz", bundle::gzip(std::string((400 << 20) + 1, '\0'), 9),
         "419430401 bytes once inflated do not fit in the 419430400 bytes",
         "holds 419430401 bytes, more than the 419430400 bytes of its destination"},
    };
    for (const Oversize& c : cases) {
        test::TempDir dir;
        write_file(dir / "image", c.data);
        ToolRun r = run_in(dir, mkbundle + " create --out u.bin " + c.member + "=image");
        EXPECT_NE(r.status, 0) << c.member;
        EXPECT_PRED2(contains, r.err, c.create_message);
        EXPECT_FALSE(exists(dir / "u.bin"));
        write_file(dir / "u.bin", bundle::make_bundle({{c.member, c.data}, {c.member + ".sig", test::dev_key(1).sign(c.data)}}));
        r = run_in(dir, mkbundle + " verify u.bin");
        EXPECT_EQ(r.status, 1) << c.member;
        EXPECT_PRED2(contains, r.err, c.verify_message);
    }
}

// The NOR flash partitions of the orvik family are what the device reads
// from its flash; create takes them as options, with the family's usual
// 3 MiB and 256 KiB, and refuses an image that cannot fit before the device
// would. Before, create let any kernel through for that family.
TEST(MkbundleCreate, NorPartitionSizesOfTheOrvikFamily) {
    struct NorCase {
        std::string options;
        std::string member;
        size_t size;
        int status;
        std::string message;
    };
    const std::vector<NorCase> cases = {
        {"", "uImage", (3 << 20) + 1, 1, "uImage: 3145729 bytes do not fit in the 3145728 bytes of its destination"},
        {"", "uImage", 3 << 20, 0, ""},
        {"", "u-boot.bin", (256 << 10) + 1, 1, "262145 bytes do not fit in the 262144 bytes"},
        {"--nor-kernel 4M", "uImage", (3 << 20) + 1, 0, ""},
        {"--nor-kernel 2097152", "uImage", (2 << 20) + 1, 1, "do not fit in the 2097152 bytes"},
        {"--nor-bootloader 512K", "u-boot.bin", (256 << 10) + 1, 0, ""},
        {"--nor-bootloader 0", "u-boot.bin", 10, 2, "--nor-bootloader takes a size in bytes"},
        {"--nor-kernel 3G", "uImage", 10, 2, "--nor-kernel takes a size in bytes"},
    };
    for (const NorCase& c : cases) {
        test::TempDir dir;
        write_file(dir / "image", std::string(c.size, 'k'));
        const ToolRun r =
            run_in(dir, mkbundle + " create --family orvik " + c.options + " --out u.bin " + c.member + "=image");
        EXPECT_EQ(r.status, c.status) << c.options << " " << c.member << "\n" << r.err;
        if (!c.message.empty()) {
            EXPECT_PRED2(contains, r.err, c.message);
        }
        EXPECT_EQ(exists(dir / "u.bin"), c.status == 0) << c.options;
    }
    test::TempDir dir;
    write_file(dir / "image", "k");
    const ToolRun selda = run_in(dir, mkbundle + " create --nor-kernel 4M --out u.bin imx35_selda/uImage=image");
    EXPECT_EQ(selda.status, 2);
    EXPECT_PRED2(contains, selda.err, "sizes of the orvik family's NOR flash");
}

// ---- list and extract --------------------------------------------------

TEST(MkbundleList, OneLinePerMemberWithItsDigest) {
    Images images;
    ASSERT_EQ(run_in(images.dir, mkbundle + " create --out u.bin imx35_selda/uImage=k.img update-a.dat=notes.txt "
                                            "README=notes.txt")
                  .status,
              0);
    const ToolRun r = run_in(images.dir, mkbundle + " list u.bin");
    ASSERT_EQ(r.status, 0) << r.err;
    using mkbundle::hex_text;
    const std::string kernel = read_file(images.dir / "k.img");
    const std::string notes = read_file(images.dir / "notes.txt");
    const std::string sig = test::dev_key(1).sign(kernel);  // PKCS#1 v1.5 is deterministic
    EXPECT_EQ(r.out, "imx35_selda/uImage\t300000\tUImage\t" + hex_text(bundle::sha256(kernel)) + "\n" +
                         "imx35_selda/uImage.sig\t128\tsignature of UImage\t" + hex_text(bundle::sha256(sig)) + "\n" +
                         "update-a.dat\t23\ttext\t" + hex_text(bundle::sha256(notes)) + "\n" +
                         "README\t23\tother\t" + hex_text(bundle::sha256(notes)) + "\n");
}

TEST(MkbundleExtract, WritesEveryMemberAtItsPath) {
    Images images;
    ASSERT_EQ(run_in(images.dir, mkbundle + " create --out u.bin imx35_selda/uImage=k.img update-a.dat=notes.txt")
                  .status,
              0);
    const ToolRun r = run_in(images.dir, mkbundle + " extract u.bin out/x");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(images.dir / "out/x/imx35_selda/uImage"), read_file(images.dir / "k.img"));
    EXPECT_EQ(read_file(images.dir / "out/x/update-a.dat"), read_file(images.dir / "notes.txt"));
    EXPECT_EQ(read_file(images.dir / "out/x/imx35_selda/uImage.sig").size(), 128u);
    EXPECT_FALSE(contains(r.err, "mkbundle:"));
}

struct BadBundle {
    const char* name;
    std::string (*bytes)();
    std::string message;
    bool extract_only;  // a bundle that only cannot be extracted
};

class MkbundleRefusesBadInput : public testing::TestWithParam<BadBundle> {};

TEST_P(MkbundleRefusesBadInput, EveryCommandFailsClearlyAndWritesNothing) {
    const BadBundle& c = GetParam();
    test::TempDir dir;
    write_file(dir / "bad.bin", c.bytes());
    for (const char* command : {" extract bad.bin out", " list bad.bin", " verify bad.bin"}) {
        if (c.extract_only && !contains(command, "extract")) continue;
        const ToolRun r = run_in(dir, mkbundle + command);
        EXPECT_EQ(r.status, 1) << command;
        EXPECT_PRED2(contains, r.err, c.message) << command;
    }
    EXPECT_FALSE(exists(dir / "out"));
    EXPECT_FALSE(exists(dir.path() + "/../escaped"));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) entries += entry.path().filename() != "bad.bin";
    EXPECT_EQ(entries, 0u);
}

std::string good_bundle() {
    return bundle::make_bundle({{"a", "x"}, {"imx35_selda/uImage", test::image_bytes(300000, 4)}});
}

INSTANTIATE_TEST_SUITE_P(
    Files, MkbundleRefusesBadInput,
    testing::Values(
        BadBundle{"truncated", [] { const std::string b = good_bundle(); return b.substr(0, b.size() - 300); },
                  "bad.bin:decompression error, truncated file", false},
        BadBundle{"corrupt_payload",
                  [] { std::string b = good_bundle(); b[131072 + 40] ^= 0x55; return b; },
                  "bad.bin:decompression error(", false},
        BadBundle{"not_a_bundle", [] { return std::string("hello world\n"); }, "Unrecognized bundle header", false},
        BadBundle{"empty_file", [] { return std::string(); }, "bad.bin: No data available", false},
        BadBundle{"member_leaving_the_directory",
                  [] { return bundle::make_bundle({{"fine", "1"}, {"../escaped", "2"}}); },
                  "refusing member '../escaped'", true},
        BadBundle{"absolute_member_name",
                  [] { return bundle::make_bundle({{"/tmp/escaped", "2"}}); },
                  "refusing member '/tmp/escaped'", true}),
    test::ParamName());

TEST(Mkbundle, UnreadableFileAndUsageErrors) {
    test::TempDir dir;
    ToolRun r = run_in(dir, mkbundle + " verify absent.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_PRED2(contains, r.err, "absent.bin: No such file or directory");
    r = run_in(dir, mkbundle + " verify --family other x.bin");
    EXPECT_EQ(r.status, 2);
    r = run_in(dir, mkbundle + " frobnicate");
    EXPECT_EQ(r.status, 2);
    EXPECT_PRED2(contains, r.err, "usage:");
}

// ---- keys and openssl ---------------------------------------------------

TEST(MkbundleKeygen, MakesKeysOpensslAcceptsAndNeverReplacesOne) {
    test::TempDir dir;
    const ToolRun made = run_in(dir, mkbundle + " keygen --bits 1024 --out k.pem");
    ASSERT_EQ(made.status, 0) << made.err;
    const ToolRun check = run_in(dir, "openssl rsa -in k.pem -noout -check -text");
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_PRED2(contains, check.out, "RSA key ok");
    EXPECT_PRED2(contains, check.out, "1024 bit");
    EXPECT_PRED2(contains, check.out, "publicExponent: 65537");
    const std::string first = read_file(dir / "k.pem");
    EXPECT_NE(run_in(dir, mkbundle + " keygen --bits 2048 --out k.pem").status, 0);
    EXPECT_EQ(read_file(dir / "k.pem"), first);
    EXPECT_EQ(run_in(dir, mkbundle + " keygen --bits 4096 --out other.pem").status, 2);

    // A key the device does not carry signs fine, but the device refuses it.
    write_file(dir / "img", test::image_bytes(5000, 9));
    ASSERT_EQ(run_in(dir, mkbundle + " create --key k.pem --out u.bin imx35_selda/uImage=img").status, 0);
    const ToolRun refused = run_in(dir, mkbundle + " verify u.bin");
    EXPECT_EQ(refused.status, 1);
    EXPECT_PRED2(contains, refused.err, "INFO:UImage:Present siglen=128 sigpassed=NO\n");
}

struct PeerCase {
    const char* name;
    int key;
    std::string command;  // makes sig from img (and digest, the image's SHA-256)
};

class OpensslSignature : public testing::TestWithParam<PeerCase> {};

TEST_P(OpensslSignature, VerifiesInTheVerdict) {
    const PeerCase& c = GetParam();
    test::TempDir dir;
    const std::string image = test::image_bytes(123456, 5);
    write_file(dir / "img", image);
    write_file(dir / "digest", bundle::sha256(image));
    const ToolRun signed_ = run_in(dir, c.command);
    ASSERT_EQ(signed_.status, 0) << signed_.err;
    const std::string sig = read_file(dir / "sig");
    ASSERT_EQ(sig.size(), c.key == 1 ? 128u : 256u);
    const test::CheckRun run = test::check_bundle(
        bundle::make_bundle({{"imx35_selda/uImage", image}, {"imx35_selda/uImage.sig", sig}}));
    EXPECT_EQ(run.authorised, 1) << run.console;
}

INSTANTIATE_TEST_SUITE_P(
    Peers, OpensslSignature,
    testing::Values(PeerCase{"dgst_key1", 1, "openssl dgst -sha256 -sign " + test::dev_key_path(1) + " -out sig img"},
                    PeerCase{"dgst_key2", 2, "openssl dgst -sha256 -sign " + test::dev_key_path(2) + " -out sig img"},
                    PeerCase{"pkeyutl_key1", 1,
                             "openssl pkeyutl -sign -inkey " + test::dev_key_path(1) +
                                 " -pkeyopt digest:sha256 -in digest -out sig"},
                    PeerCase{"pkeyutl_key2", 2,
                             "openssl pkeyutl -sign -inkey " + test::dev_key_path(2) +
                                 " -pkeyopt digest:sha256 -in digest -out sig"}),
    test::ParamName());

TEST(OpensslSignature, MkbundleSignaturesVerifyWithOpenssl) {
    Images images;
    const auto& dir = images.dir;
    ASSERT_EQ(run_in(dir, mkbundle + " create --key " + key(1) + " --key " + key(2) +
                              " --out u.bin imx35_selda/uImage=k.img imx35_selda/u-boot.bin=ub.bin")
                  .status,
              0);
    ASSERT_EQ(run_in(dir, mkbundle + " extract u.bin x").status, 0);
    write_file(dir / "digest", bundle::sha256(read_file(dir / "k.img")));
    ToolRun r = run_in(dir, "openssl pkeyutl -verify -pubin -inkey " + public_key(1) +
                            " -pkeyopt digest:sha256 -in digest -sigfile x/imx35_selda/uImage.sig");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_PRED2(contains, r.out, "Signature Verified Successfully");
    r = run_in(dir, "openssl dgst -sha256 -verify " + public_key(2) +
                        " -signature x/imx35_selda/u-boot.bin.sig x/imx35_selda/u-boot.bin");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_PRED2(contains, r.out, "Verified OK");
    // And a wrong pairing fails, so the check can tell.
    r = run_in(dir, "openssl dgst -sha256 -verify " + public_key(2) +
                        " -signature x/imx35_selda/u-boot.bin.sig x/imx35_selda/uImage");
    EXPECT_NE(r.status, 0);
}

}  // namespace

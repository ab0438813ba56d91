// `mkbundle verify --pubkey`: a bundle checked against the keys of another
// device build, as a release team proves before shipping that readers with
// the old and with the new keys both take it while key 1 is replaced.
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "support/command_run.h"
#include "support/json_query.h"
#include "support/param_name.h"

namespace {

using test::contains;
using test::run_in;
using test::write_file;

const std::string mkbundle_tool = QM_MKBUNDLE;
const std::string keys_dir = QM_KEYS_DIR;

// The key files of a rotation of key 1: the development keys are the old
// build's, new1 replaces key 1 in the new build, key 2 stays.
class KeyRotation : public testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new test::TempDir;
        write_file(*dir_ / "k.img", test::image_bytes(70000, 11));
        ASSERT_EQ(run_in(*dir_, mkbundle_tool + " keygen --bits 1024 --out new1.pem").status, 0);
        ASSERT_EQ(run_in(*dir_, "openssl rsa -in new1.pem -pubout -out new1.pub.pem").status, 0);
        for (const auto& [name, key] : {std::pair{"old1", keys_dir + "/dev-key1-rsa1024.pem"},
                                        std::pair{"key2", keys_dir + "/dev-key2-rsa2048.pem"},
                                        std::pair{"new1", std::string("new1.pem")}}) {
            const test::CommandRun made = run_in(*dir_, mkbundle_tool + " create --out " + name + ".bin --key " + key +
                                                            " imx35_selda/uImage=k.img");
            ASSERT_EQ(made.status, 0) << made.err;
        }
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    static const test::TempDir& dir() { return *dir_; }

private:
    static test::TempDir* dir_;
};
test::TempDir* KeyRotation::dir_ = nullptr;

const std::string old_build = " --pubkey " + keys_dir + "/dev-key1-rsa1024.pub.pem --pubkey " + keys_dir +
                              "/dev-key2-rsa2048.pub.pem";
const std::string new_build = " --pubkey new1.pub.pem --pubkey " + keys_dir + "/dev-key2-rsa2048.pub.pem";

struct RotationCase {
    const char* name;
    const char* bundle;  // signed by old1, key2 or new1
    std::string build;
    int status;
    std::string key;  // the key the UImage verified under, as JSON
    friend void PrintTo(const RotationCase& c, std::ostream* os) { *os << c.name; }
};

class KeyRotationVerdict : public KeyRotation, public testing::WithParamInterface<RotationCase> {};

TEST_P(KeyRotationVerdict, OfEachBuild) {
    const RotationCase& c = GetParam();
    const test::CommandRun r =
        run_in(dir(), mkbundle_tool + " verify --json" + c.build + " " + c.bundle + ".bin");
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(test::json_value(r.out, "[d['authorised'], d['images'][0]['key']]"),
              std::string("[") + (c.status == 0 ? "true" : "false") + ", " + c.key + "]");
    EXPECT_PRED2(contains, r.err, c.status == 0 ? "INFO:UImage:Present siglen=" : "WARNING:UImage:SIGNATURE FAILED!");
    EXPECT_PRED2(contains, r.err, "(keys: ");
}

INSTANTIATE_TEST_SUITE_P(
    Builds, KeyRotationVerdict,
    testing::Values(RotationCase{"bridge_signed_by_key2_on_the_old_build", "key2", old_build, 0, "2"},
                    RotationCase{"bridge_signed_by_key2_on_the_new_build", "key2", new_build, 0, "2"},
                    RotationCase{"new_key_on_the_new_build", "new1", new_build, 0, "1"},
                    RotationCase{"new_key_on_the_old_build", "new1", old_build, 1, "null"},
                    RotationCase{"old_key_on_the_new_build", "old1", new_build, 1, "null"},
                    // Key order on the command line does not matter: size decides the place.
                    RotationCase{"keys_given_in_either_order", "new1",
                                 " --pubkey " + keys_dir + "/dev-key2-rsa2048.pub.pem --pubkey new1.pub.pem", 0, "1"}),
    test::ParamName());

TEST_F(KeyRotation, TheDocumentNamesTheKeysItCheckedWith) {
    const test::CommandRun r = run_in(dir(), mkbundle_tool + " verify --json --pubkey new1.pub.pem new1.bin");
    EXPECT_EQ(r.status, 0) << r.err;
    // Only key 1 takes part: no key 2, and no message about trying one.
    EXPECT_FALSE(contains(r.err, "rsa.len")) << r.err;
    const test::CommandRun openssl = run_in(dir(), "openssl pkey -pubin -in new1.pub.pem -outform DER | sha256sum");
    ASSERT_EQ(openssl.status, 0);
    EXPECT_EQ(test::json_value(r.out, "d['keys']"),
              R"([{"bits": 1024, "fingerprint": ")" + openssl.out.substr(0, 64) +
                  R"(", "key": 1, "source": "new1.pub.pem"}])");
    // A private key file stands for its public half, as in the build.
    EXPECT_EQ(run_in(dir(), mkbundle_tool + " verify --pubkey new1.pem new1.bin").status, 0);
    // The built-in keys report their fingerprints too.
    const test::CommandRun builtin = run_in(dir(), mkbundle_tool + " verify --json old1.bin");
    const test::CommandRun dev1 =
        run_in(dir(), "openssl pkey -pubin -in " + keys_dir + "/dev-key1-rsa1024.pub.pem -outform DER | sha256sum");
    EXPECT_EQ(test::json_value(builtin.out, "d['keys'][0]['fingerprint']"), "\"" + dev1.out.substr(0, 64) + "\"");
}

struct BadKeyCase {
    const char* name;
    std::string make;  // shell commands that write the key files into the directory
    std::string options;
    std::string message;
    friend void PrintTo(const BadKeyCase& c, std::ostream* os) { *os << c.name; }
};

class VerifyRefusesKeys : public testing::TestWithParam<BadKeyCase> {};

TEST_P(VerifyRefusesKeys, WithOneLine) {
    const BadKeyCase& c = GetParam();
    test::TempDir dir;
    write_file(dir / "u.bin", bundle::make_bundle({{"a", "b"}}));
    if (!c.make.empty()) {
        ASSERT_EQ(run_in(dir, c.make).status, 0);
    }
    const test::CommandRun r = run_in(dir, mkbundle_tool + " verify" + c.options + " u.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.starts_with("mkbundle: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
    EXPECT_PRED2(contains, r.err, c.message);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, VerifyRefusesKeys,
    testing::Values(
        BadKeyCase{"missing_file", "", " --pubkey absent.pem", "absent.pem: cannot read the key"},
        BadKeyCase{"not_a_key", "echo hello >notes.pem", " --pubkey notes.pem", "notes.pem: cannot read the key"},
        BadKeyCase{"size_no_build_embeds", "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:512 -out k.pem",
                   " --pubkey k.pem", "k.pem: an RSA key of 512 bits"},
        BadKeyCase{"exponent_beyond_three_bytes",
                   "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 "
                   "-pkeyopt rsa_keygen_pubexp:4294967297 -out k.pem",
                   " --pubkey k.pem", "k.pem: the public exponent does not fit"},
        BadKeyCase{"two_keys_of_one_size", "",
                   " --pubkey " + keys_dir + "/dev-key1-rsa1024.pem --pubkey " + keys_dir + "/dev-key1-rsa1024.pub.pem",
                   "a second 1024-bit key"}),
    test::ParamName());

}  // namespace

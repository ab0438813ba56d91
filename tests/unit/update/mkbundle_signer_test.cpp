// Signing without a key file on disk: keys inside a PKCS#11 module (a
// SoftHSM2 token the test initialises) and outside signing commands. What
// they sign is byte for byte what the same key in a file signs; every way
// they can fail gives one line, a non-zero exit and no file left behind.
#include <filesystem>
#include <set>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bundle_fixture.h"
#include "hex_text.h"
#include "support/command_run.h"
#include "support/param_name.h"
#include "support/softhsm_token.h"

namespace {

using test::contains;
using test::read_file;
using test::run_in;
using test::write_file;

const std::string mkbundle_tool = QM_MKBUNDLE;
const std::string keys_dir = QM_KEYS_DIR;
const std::string key1 = keys_dir + "/dev-key1-rsa1024.pem";
const std::string key2 = keys_dir + "/dev-key2-rsa2048.pem";
const std::string pub1 = keys_dir + "/dev-key1-rsa1024.pub.pem";
const std::string pub2 = keys_dir + "/dev-key2-rsa2048.pub.pem";
const std::string members = " imx35_selda/uImage=k.img imx35_selda/u-boot.bin=ub.bin rootfs.img.gz=rootfs.img.gz";

std::set<std::string> entries(const test::TempDir& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.insert(entry.path().filename().string());
    return names;
}

// Images, and the bundle the development key files make of them, which
// every other signer must reproduce byte for byte (PKCS#1 v1.5 signatures
// are deterministic).
struct Images {
    test::TempDir dir;
    Images() {
        write_file(dir / "k.img", test::image_bytes(90000, 21));
        write_file(dir / "ub.bin", test::image_bytes(30000, 22));
        write_file(dir / "rootfs.img.gz", bundle::gzip(test::image_bytes(120000, 23)));
    }
    std::string reference(const std::string& keys) {
        const test::CommandRun made = run_in(dir, mkbundle_tool + " create --out reference.bin" + keys + members);
        EXPECT_EQ(made.status, 0) << made.err;
        const std::string bytes = read_file(dir / "reference.bin");
        std::filesystem::remove(dir / "reference.bin");
        return bytes;
    }
};

// One token for the suite, made when a test first needs it: the
// development keys and a key of a size the device does not verify.
class TokenSigning : public testing::Test {
protected:
    static void TearDownTestSuite() {
        delete token_;
        token_ = nullptr;
    }
    void SetUp() override {
        if (!QM_HAVE_PKCS11) GTEST_SKIP() << "this build has no PKCS#11 support";
    }
    static test::SoftHsmToken& token() {
        if (token_ == nullptr) {
            token_ = new test::SoftHsmToken("release");
            token_->import_key(key1, "key1", "01");
            token_->import_key(key2, "key2", "02");
            test::TempDir scratch;
            EXPECT_EQ(run_in(scratch, "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:512 -out big.pem")
                          .status,
                      0);
            token_->import_key(scratch / "big.pem", "big", "03");
        }
        return *token_;
    }
    // mkbundle with the environment a run against the token needs.
    static std::string with_token(const std::string& env = "") {
        return token().env() + " " + env + " " + mkbundle_tool;
    }
    static std::string module() { return " --pkcs11-module " + test::SoftHsmToken::module(); }

private:
    static test::SoftHsmToken* token_;
};
test::SoftHsmToken* TokenSigning::token_ = nullptr;

TEST_F(TokenSigning, KeysOfBothSizesSignWhatTheKeyFilesSign) {
    Images images;
    const std::string expected = images.reference(" --key " + key1 + " --key " + key2);
    const std::string pin_env = std::string("MKBUNDLE_PKCS11_PIN=") + test::SoftHsmToken::pin;
    const test::CommandRun made =
        run_in(images.dir, with_token(pin_env) + " create --out u.bin" + module() +
                               " --key 'pkcs11:token=release;object=key1' --key 'pkcs11:token=release;object=key2'" +
                               members);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_PRED2(contains, made.out, "imx35_selda/u-boot.bin.sig: signature of imx35_selda/u-boot.bin with "
                                     "pkcs11:token=release;object=key2 (256 bytes)");
    EXPECT_TRUE(read_file(images.dir / "u.bin") == expected);

    // The PIN from a file (its first line), the keys named by id.
    write_file(images.dir / "pin.txt", std::string(test::SoftHsmToken::pin) + "\n");
    const test::CommandRun by_id = run_in(images.dir, with_token() + " create --out v.bin" + module() +
                                                          " --pin-file pin.txt --key 'pkcs11:token=release;id=%01'"
                                                          " --key 'pkcs11:object=key2;type=private'" + members);
    ASSERT_EQ(by_id.status, 0) << by_id.err;
    EXPECT_TRUE(read_file(images.dir / "v.bin") == expected);

    const test::CommandRun verified = run_in(images.dir, mkbundle_tool + " verify v.bin");
    EXPECT_EQ(verified.status, 0) << verified.err;
    EXPECT_PRED2(contains, verified.err, "INFO:UBoot:Present siglen=256 sigpassed=Yes\n");
}

struct CommandCase {
    const char* name;
    std::string options;  // the signer
    std::string reference_key;
    friend void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }
};

class CommandSigning : public testing::TestWithParam<CommandCase> {};

TEST_P(CommandSigning, SignsWhatTheKeyFileSigns) {
    const CommandCase& c = GetParam();
    Images images;
    const std::string expected = images.reference(" --key " + c.reference_key);
    const test::CommandRun made = run_in(images.dir, mkbundle_tool + " create --out u.bin" + c.options + members);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(read_file(images.dir / "u.bin") == expected);
    // The command was told what it signed.
    const std::string log = read_file(images.dir / "signed.log");
    const std::string uboot_digest = mkbundle::hex_text(bundle::sha256(read_file(images.dir / "ub.bin")));
    EXPECT_PRED2(contains, log, "imx35_selda/u-boot.bin " + uboot_digest + "\n");
    EXPECT_PRED2(contains, log, "rootfs.img.gz ");
}

const std::string log_what = "echo \"$MKBUNDLE_MEMBER $MKBUNDLE_SHA256\" >>signed.log; ";

INSTANTIATE_TEST_SUITE_P(
    Commands, CommandSigning,
    testing::Values(CommandCase{"digest_on_its_input",
                                " --sign-command '" + log_what + "openssl pkeyutl -sign -inkey " + key2 +
                                    " -pkeyopt digest:sha256' --sign-pubkey " + pub2,
                                key2},
                    CommandCase{"image_on_its_input",
                                " --sign-input data --sign-command '" + log_what + "openssl dgst -sha256 -sign " +
                                    key1 + "' --sign-pubkey " + pub1,
                                key1}),
    test::ParamName());

// ---- failures ----------------------------------------------------------------

struct FailureCase {
    const char* name;
    bool token;           // runs against the token, with pin.txt holding its PIN
    std::string env;      // more of the environment
    std::string options;  // the signers; @MODULE@ stands for the token's module
    std::string message;
    int status = 1;
    friend void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }
};

class SignerFailure : public TokenSigning, public testing::WithParamInterface<FailureCase> {
protected:
    void SetUp() override {
        if (GetParam().token) TokenSigning::SetUp();
    }
};

TEST_P(SignerFailure, OneLineNoFileLeftBehind) {
    const FailureCase& c = GetParam();
    Images images;
    write_file(images.dir / "u.bin", "old contents");
    if (c.token) write_file(images.dir / "pin.txt", std::string(test::SoftHsmToken::pin) + "\n");
    const std::set<std::string> before = entries(images.dir);
    std::string options = c.options;
    for (size_t at; (at = options.find("@MODULE@")) != std::string::npos;)
        options.replace(at, 8, test::SoftHsmToken::module());
    const std::string tool = c.token ? with_token(c.env) : c.env + " " + mkbundle_tool;
    const test::CommandRun r = run_in(images.dir, tool + " create --out u.bin" + options + members);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.err.starts_with("mkbundle: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
    EXPECT_PRED2(contains, r.err, c.message);
    EXPECT_EQ(read_file(images.dir / "u.bin"), "old contents");
    EXPECT_EQ(entries(images.dir), before);
}

std::vector<FailureCase> failure_cases() {
    const std::string to_key1 = " --sign-pubkey " + pub1;
    std::vector<FailureCase> cases = {
        {"command_fails", false, "", " --sign-command 'exit 3'" + to_key1,
         "the signing command 'exit 3' failed (exit status 3)"},
        {"command_returns_garbage", false, "", " --sign-command 'head -c 128 /dev/urandom'" + to_key1,
         "returned no valid signature: not a signature of the image under the key"},
        {"command_returns_too_little", false, "", " --sign-command 'printf abc'" + to_key1,
         "returned no valid signature: 3 bytes where a signature of the 1024-bit key has 128"},
        {"command_signs_with_another_key", false, "",
         " --sign-command 'openssl pkeyutl -sign -inkey " + key2 + " -pkeyopt digest:sha256'" + to_key1,
         "256 bytes where a signature of the 1024-bit key has 128"},
        {"command_never_answers", false, "", " --sign-timeout 1 --sign-command 'sleep 60'" + to_key1,
         "gave no signature within 1 second"},
        {"command_killed", false, "", " --sign-command 'kill -9 $$'" + to_key1, "was ended by signal 9"},
        {"command_public_key_unreadable", false, "", " --sign-command true --sign-pubkey /dev/null",
         "/dev/null: cannot read the key"},
        {"command_without_its_public_key", false, "", " --sign-command true",
         "each --sign-command needs one --sign-pubkey", 2},
    };
    if (QM_HAVE_PKCS11) {
        const std::string key1_uri = " --key 'pkcs11:token=release;object=key1'";
        cases.insert(
            cases.end(),
            {
                {"no_pin", true, "", " --pkcs11-module @MODULE@" + key1_uri,
                 "token 'release' needs a PIN: set MKBUNDLE_PKCS11_PIN or give --pin-file FILE"},
                {"wrong_pin", true, "MKBUNDLE_PKCS11_PIN=0000", " --pkcs11-module @MODULE@" + key1_uri,
                 "login to token 'release' failed: PIN incorrect"},
                {"pin_in_the_uri", true, "",
                 " --pkcs11-module @MODULE@ --key 'pkcs11:token=release;object=key1?pin-value=4321'",
                 "a PIN is never taken from the command line"},
                {"missing_object", true, "", " --pkcs11-module @MODULE@ --pin-file pin.txt --key "
                                             "'pkcs11:token=release;object=key9'",
                 "pkcs11:token=release;object=key9: no private key in token 'release' matches"},
                {"missing_token", true, "", " --pkcs11-module @MODULE@ --pin-file pin.txt --key "
                                            "'pkcs11:token=other;object=key1'",
                 "no token matches (tokens: 'release')"},
                {"key_of_the_wrong_size", true, "", " --pkcs11-module @MODULE@ --pin-file pin.txt --key "
                                                    "'pkcs11:token=release;object=big'",
                 "object=big: an RSA key of 512 bits; the device verifies 1024- and 2048-bit keys only"},
                {"several_keys_match", true, "", " --pkcs11-module @MODULE@ --pin-file pin.txt --key "
                                                 "'pkcs11:token=release'",
                 "3 private keys in token 'release' match"},
                {"module_that_does_not_load", true, "", " --pkcs11-module /nonexistent/module.so" + key1_uri,
                 "cannot load the PKCS#11 module /nonexistent/module.so"},
                {"module_not_named", true, "", key1_uri, "name the PKCS#11 module with --pkcs11-module"},
            });
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Signers, SignerFailure, testing::ValuesIn(failure_cases()), test::ParamName());

}  // namespace

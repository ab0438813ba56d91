// A SoftHSM2 software token made by a test: its own configuration and
// token folder, initialised with a label and a user PIN, and holding keys
// imported from PEM files, so that they sit in a PKCS#11 module as they
// would in a hardware one.
#pragma once

#include <stdexcept>
#include <string>

#include "support/host_tools.h"
#include "support/testdir.h"

namespace test {

class SoftHsmToken {
public:
    static constexpr const char* pin = "4321";

    // Throws std::runtime_error when softhsm2 cannot make the token.
    explicit SoftHsmToken(const std::string& label) {
        if (module().empty()) throw std::runtime_error("softhsm2 is not installed (scripts/install-deps installs it)");
        write_file(dir_ / "softhsm2.conf", "directories.tokendir = " + (dir_ / "tokens") +
                                               "\nobjectstore.backend = file\nlog.level = ERROR\n");
        write_file(dir_ / "tokens/.keep", "");
        must("softhsm2-util --init-token --free --label '" + label + "' --pin " + pin + " --so-pin 87654321");
        label_ = label;
    }

    // Imports the private key of a PEM file under an object label and an id
    // (hexadecimal).
    void import_key(const std::string& pem, const std::string& object, const std::string& id) {
        const std::string pkcs8 = dir_ / (object + ".p8");
        must("openssl pkcs8 -topk8 -nocrypt -in '" + pem + "' -out '" + pkcs8 + "'");
        must("softhsm2-util --import '" + pkcs8 + "' --token '" + label_ + "' --label '" + object + "' --id " + id +
             " --pin " + pin);
        std::remove(pkcs8.c_str());
    }

    // The environment assignment that points the module at this token.
    std::string env() const { return "SOFTHSM2_CONF='" + config() + "'"; }
    std::string config() const { return dir_ / "softhsm2.conf"; }
    static std::string module() { return QM_SOFTHSM_MODULE; }

private:
    void must(const std::string& command) const {
        const ToolRun run = run_tool(env() + " " + command);
        if (run.status != 0) throw std::runtime_error(command + ": " + run.output);
    }

    TempDir dir_;
    std::string label_;
};

}  // namespace test

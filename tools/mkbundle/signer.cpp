#include "signer.h"

#include "bundle_writer.h"
#include "command_signer.h"
#include "pkcs11_signer.h"

namespace mkbundle {

namespace {

class key_file_signer final : public signer {
public:
    bool open(const std::string& path, std::string& error) {
        name_ = path;
        return key_.load(path, error) && read_rsa_public(path, public_, error);
    }
    const std::string& name() const override { return name_; }
    const rsa_public& public_key() const override { return public_; }
    bool sign(const sign_request& request, std::string& signature, std::string& error) override {
        signature = key_.sign_digest(request.digest);
        if (signature.empty()) error = "signing with " + name_ + " failed";
        return !signature.empty();
    }

private:
    std::string name_;
    bundle::signing_key key_;
    rsa_public public_;
};

}  // namespace

bool device_key_size(size_t bits) { return bits == 1024 || bits == 2048; }

std::unique_ptr<signer> open_key(const std::string& key_ref, signer_options& options, std::string& error) {
    if (key_ref.starts_with("pkcs11:")) return open_pkcs11_key(key_ref, options, error);
    auto s = std::make_unique<key_file_signer>();
    if (!s->open(key_ref, error)) return nullptr;
    return s;
}

bool make_signature(signer& s, const sign_request& request, std::string& signature, std::string& error) {
    if (!s.sign(request, signature, error)) return false;
    std::string reason;
    if (!signature_matches(s.public_key(), signature, request.digest, reason)) {
        error = s.name() + " returned no valid signature: " + reason;
        return false;
    }
    return true;
}

}  // namespace mkbundle

// Whoever signs the images of a bundle: a private key file, a key inside a
// PKCS#11 module, or an outside command. Every signature is checked against
// the signer's public key before it goes into a bundle.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "key_files.h"

namespace mkbundle {

// One image to sign.
struct sign_request {
    std::string_view member;  // its name in the bundle
    std::string_view source;  // the file its bytes were read from
    std::string_view digest;  // SHA-256 of the bytes that went into the bundle
};

class pkcs11_module;

// How the signers are reached, from the options of `create`.
struct signer_options {
    std::string module_path;    // --pkcs11-module
    std::string pin_file;       // --pin-file; else MKBUNDLE_PKCS11_PIN
    bool command_gets_data = false;  // --sign-input data: the image instead of its digest
    unsigned command_timeout = 300;  // seconds a signing command may take for one image
    // The module loaded for the first PKCS#11 key, shared by the others:
    // a module is initialised and a token logged in to once per process.
    std::shared_ptr<pkcs11_module> module;
};

class signer {
public:
    virtual ~signer() = default;
    // How the console names it: the key file, the URI or the command.
    virtual const std::string& name() const = 0;
    virtual const rsa_public& public_key() const = 0;
    // The raw RSA signature; false with a one-line reason.
    virtual bool sign(const sign_request& request, std::string& signature, std::string& error) = 0;
};

// The signer of `--key KEY`: a PKCS#11 URI ("pkcs11:...") or a private key
// file. Null with a one-line reason, also for a key the device cannot use.
std::unique_ptr<signer> open_key(const std::string& key_ref, signer_options& options, std::string& error);

// The signature of the request by s, checked against s's public key.
bool make_signature(signer& s, const sign_request& request, std::string& signature, std::string& error);

// The key sizes the device verifies.
bool device_key_size(size_t bits);

}  // namespace mkbundle

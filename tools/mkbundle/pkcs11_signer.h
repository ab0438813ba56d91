// Keys that never leave a PKCS#11 module (a hardware security module, a
// smart card, a software token), named by an RFC 7512 URI. The URI is read
// by p11-kit and the module driven through libp11.
#pragma once

#include <memory>
#include <string>

#include "signer.h"

namespace mkbundle {

// The signer for the private key the URI names: loads the module
// (--pkcs11-module, or the URI's module-path), finds the one token and the
// one private key the URI matches, logs in with the PIN of
// MKBUNDLE_PKCS11_PIN or --pin-file, and refuses a key the device cannot
// verify. Null with a one-line reason.
std::unique_ptr<signer> open_pkcs11_key(const std::string& uri, signer_options& options, std::string& error);

}  // namespace mkbundle

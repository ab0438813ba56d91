// The public halves of RSA keys, read from key files or taken from a
// signer, in the form a device build embeds them; signatures are checked
// against them with the device's own verification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "update/signing.h"

namespace mkbundle {

struct rsa_public {
    std::vector<uint8_t> mod;  // big-endian, no leading zero bytes
    std::vector<uint8_t> exp;  // big-endian, no leading zero bytes

    bool empty() const { return mod.empty(); }
    size_t bits() const;
    qm::public_key view() const { return {mod, exp}; }
};

// Takes big-endian modulus and exponent bytes (leading zeros are dropped).
rsa_public rsa_public_from(std::span<const uint8_t> mod, std::span<const uint8_t> exp);

// The public half of the RSA key in a PEM or DER file that holds either a
// public or a private key; false with a one-line reason otherwise.
bool read_rsa_public(const std::string& path, rsa_public& key, std::string& error);

// The RSA key of a DER SubjectPublicKeyInfo; false with a reason.
bool rsa_public_from_der(std::span<const uint8_t> der, rsa_public& key, std::string& error);

// SHA-256 of the key's DER SubjectPublicKeyInfo in lower-case hexadecimal,
// the figure `openssl pkey -pubin -outform DER | sha256sum` gives.
std::string fingerprint(const rsa_public& key);

// True when signature is a PKCS#1 v1.5 signature of the 32-byte SHA-256
// digest under key, as the device checks it; otherwise false with a reason.
bool signature_matches(const rsa_public& key, std::string_view signature, std::string_view digest,
                       std::string& reason);

}  // namespace mkbundle

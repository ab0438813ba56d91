#include "key_files.h"

#include <algorithm>
#include <array>

#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha256.h>

#include "hex_text.h"

namespace mkbundle {

namespace {

// The context is released on every path.
struct pk_context {
    mbedtls_pk_context pk;
    pk_context() { mbedtls_pk_init(&pk); }
    ~pk_context() { mbedtls_pk_free(&pk); }
    pk_context(const pk_context&) = delete;
    pk_context& operator=(const pk_context&) = delete;
};

std::vector<uint8_t> without_leading_zeros(std::span<const uint8_t> bytes) {
    const auto first = std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != 0; });
    return {first, bytes.end()};
}

std::vector<uint8_t> mpi_bytes(const mbedtls_mpi& value) {
    std::vector<uint8_t> bytes(mbedtls_mpi_size(&value));
    mbedtls_mpi_write_binary(&value, bytes.data(), bytes.size());
    return without_leading_zeros(bytes);
}

// The public half of a parsed key; what names it in a reason.
bool take_rsa_public(int parsed, const pk_context& ctx, const std::string& what, rsa_public& key,
                     std::string& error) {
    if (parsed != 0) {
        char text[200];
        mbedtls_strerror(parsed, text, sizeof text);
        error = what + ": cannot read the key: " + text;
        return false;
    }
    if (mbedtls_pk_get_type(&ctx.pk) != MBEDTLS_PK_RSA) {
        error = what + ": not an RSA key";
        return false;
    }
    const mbedtls_rsa_context& rsa = *mbedtls_pk_rsa(ctx.pk);
    key.mod = mpi_bytes(rsa.N);
    key.exp = mpi_bytes(rsa.E);
    return true;
}

}  // namespace

size_t rsa_public::bits() const {
    if (mod.empty()) return 0;
    size_t top = 0;
    for (uint8_t b = mod.front(); b != 0; b >>= 1) ++top;
    return (mod.size() - 1) * 8 + top;
}

rsa_public rsa_public_from(std::span<const uint8_t> mod, std::span<const uint8_t> exp) {
    return {without_leading_zeros(mod), without_leading_zeros(exp)};
}


bool read_rsa_public(const std::string& path, rsa_public& key, std::string& error) {
    pk_context ctx;
    int result = mbedtls_pk_parse_public_keyfile(&ctx.pk, path.c_str());
    if (result != 0) {
        mbedtls_pk_free(&ctx.pk);
        mbedtls_pk_init(&ctx.pk);
        result = mbedtls_pk_parse_keyfile(&ctx.pk, path.c_str(), nullptr);
    }
    return take_rsa_public(result, ctx, path, key, error);
}

bool rsa_public_from_der(std::span<const uint8_t> der, rsa_public& key, std::string& error) {
    pk_context ctx;
    return take_rsa_public(mbedtls_pk_parse_public_key(&ctx.pk, der.data(), der.size()), ctx, "public key", key,
                           error);
}

std::string fingerprint(const rsa_public& key) {
    pk_context ctx;
    std::array<unsigned char, 1024> der{};
    if (mbedtls_pk_setup(&ctx.pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) != 0 ||
        mbedtls_rsa_import_raw(mbedtls_pk_rsa(ctx.pk), key.mod.data(), key.mod.size(), nullptr, 0, nullptr, 0,
                               nullptr, 0, key.exp.data(), key.exp.size()) != 0)
        return {};
    // The DER is written backwards from the end of the buffer.
    const int length = mbedtls_pk_write_pubkey_der(&ctx.pk, der.data(), der.size());
    if (length <= 0) return {};
    std::array<uint8_t, 32> digest{};
    mbedtls_sha256_ret(der.data() + der.size() - length, static_cast<size_t>(length), digest.data(), 0);
    return hex_text(digest.data(), digest.size());
}

bool signature_matches(const rsa_public& key, std::string_view signature, std::string_view digest,
                       std::string& reason) {
    // The device prints a message for a length that does not fit the key;
    // this check states it in the tool's own words instead.
    if (signature.size() != key.mod.size()) {
        reason = std::to_string(signature.size()) + " bytes where a signature of the " + std::to_string(key.bits()) +
                 "-bit key has " + std::to_string(key.mod.size());
        return false;
    }
    if (digest.size() != 32 ||
        !qm::verify(key.mod.data(), key.mod.size(), key.exp.data(), key.exp.size(),
                    static_cast<unsigned>(signature.size()), reinterpret_cast<const uint8_t*>(signature.data()),
                    reinterpret_cast<const uint8_t*>(digest.data()))) {
        reason = "not a signature of the image under the key";
        return false;
    }
    return true;
}

}  // namespace mkbundle

#include "pkcs11_signer.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include <libp11.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <p11-kit/uri.h>

namespace mkbundle {

namespace {

// The reason of the newest error the libraries queued, and a clean queue.
std::string library_error() {
    const unsigned long code = ERR_peek_last_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "no reason given";
}

struct parsed_uri {
    P11KitUri* uri = p11_kit_uri_new();
    ~parsed_uri() { p11_kit_uri_free(uri); }
    parsed_uri() = default;
    parsed_uri(const parsed_uri&) = delete;
    parsed_uri& operator=(const parsed_uri&) = delete;
};

// PKCS#11 text fields are blank-padded and not NUL-terminated; libp11 hands
// them over trimmed.
void put_field(unsigned char* field, size_t width, const char* value) {
    std::memset(field, ' ', width);
    if (value != nullptr) std::memcpy(field, value, std::min(std::strlen(value), width));
}

bool token_matches(P11KitUri* uri, PKCS11_CTX* ctx, PKCS11_SLOT& slot) {
    CK_INFO module{};
    put_field(module.manufacturerID, sizeof module.manufacturerID, ctx->manufacturer);
    put_field(module.libraryDescription, sizeof module.libraryDescription, ctx->description);
    CK_SLOT_INFO slot_info{};
    put_field(slot_info.slotDescription, sizeof slot_info.slotDescription, slot.description);
    put_field(slot_info.manufacturerID, sizeof slot_info.manufacturerID, slot.manufacturer);
    CK_TOKEN_INFO token{};
    put_field(token.label, sizeof token.label, slot.token->label);
    put_field(token.manufacturerID, sizeof token.manufacturerID, slot.token->manufacturer);
    put_field(token.model, sizeof token.model, slot.token->model);
    put_field(token.serialNumber, sizeof token.serialNumber, slot.token->serialnr);
    const CK_SLOT_ID wanted = p11_kit_uri_get_slot_id(uri);
    return p11_kit_uri_match_module_info(uri, &module) && p11_kit_uri_match_slot_info(uri, &slot_info) &&
           p11_kit_uri_match_token_info(uri, &token) &&
           (wanted == static_cast<CK_SLOT_ID>(-1) || wanted == PKCS11_get_slotid_from_slot(&slot));
}

bool key_matches(P11KitUri* uri, PKCS11_KEY& key) {
    CK_OBJECT_CLASS type = CKO_PRIVATE_KEY;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &type, sizeof type},
        {CKA_LABEL, key.label, key.label != nullptr ? std::strlen(key.label) : 0},
        {CKA_ID, key.id, key.id_len},
    };
    return p11_kit_uri_match_attributes(uri, attributes, std::size(attributes));
}

// The PIN, from --pin-file (its first line) or from MKBUNDLE_PKCS11_PIN.
bool read_pin(const signer_options& options, std::string& pin, std::string& error) {
    if (options.pin_file.empty()) {
        const char* value = std::getenv("MKBUNDLE_PKCS11_PIN");
        if (value == nullptr) {
            error = "set MKBUNDLE_PKCS11_PIN or give --pin-file FILE";
            return false;
        }
        pin = value;
        return true;
    }
    const int fd = ::open(options.pin_file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = options.pin_file + ": " + std::strerror(errno);
        return false;
    }
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) pin.append(buffer, static_cast<size_t>(n));
    const int saved = errno;
    ::close(fd);
    OPENSSL_cleanse(buffer, sizeof buffer);
    if (n < 0) {
        error = options.pin_file + ": " + std::strerror(saved);
        return false;
    }
    pin.resize(std::min(pin.size(), pin.find_first_of("\r\n")));
    return true;
}

std::string quoted(const char* text) { return std::string("'") + (text != nullptr ? text : "") + "'"; }

}  // namespace

// A loaded module and its slots, released after the last key taken from it.
class pkcs11_module {
public:
    pkcs11_module() = default;
    ~pkcs11_module() {
        if (slots_ != nullptr) PKCS11_release_all_slots(ctx_, slots_, count_);
        if (loaded_) PKCS11_CTX_unload(ctx_);
        if (ctx_ != nullptr) PKCS11_CTX_free(ctx_);
    }
    pkcs11_module(const pkcs11_module&) = delete;
    pkcs11_module& operator=(const pkcs11_module&) = delete;

    bool load(const std::string& path, std::string& error) {
        path_ = path;
        // libp11 prints the loader's complaint itself; trying first keeps
        // the failure to one line of ours.
        void* probe = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (probe == nullptr) {
            const char* why = ::dlerror();
            error = "cannot load the PKCS#11 module " + std::string(why != nullptr ? why : path);
            return false;
        }
        ::dlclose(probe);
        ctx_ = PKCS11_CTX_new();
        if (ctx_ == nullptr || PKCS11_CTX_load(ctx_, path.c_str()) != 0) {
            error = "cannot start the PKCS#11 module " + path + ": " + library_error();
            return false;
        }
        loaded_ = true;
        if (PKCS11_enumerate_slots(ctx_, &slots_, &count_) != 0) {
            slots_ = nullptr;
            error = "cannot list the slots of the PKCS#11 module " + path + ": " + library_error();
            return false;
        }
        return true;
    }

    const std::string& path() const { return path_; }
    PKCS11_CTX* ctx() const { return ctx_; }
    std::span<PKCS11_SLOT> slots() const { return {slots_, count_}; }

private:
    std::string path_;
    PKCS11_CTX* ctx_ = nullptr;
    bool loaded_ = false;
    PKCS11_SLOT* slots_ = nullptr;
    unsigned count_ = 0;
};

namespace {

class pkcs11_signer final : public signer {
public:
    pkcs11_signer(std::string uri, std::shared_ptr<pkcs11_module> module)
        : uri_(std::move(uri)), module_(std::move(module)) {}
    ~pkcs11_signer() override { EVP_PKEY_free(key_); }
    pkcs11_signer(const pkcs11_signer&) = delete;
    pkcs11_signer& operator=(const pkcs11_signer&) = delete;

    bool open(P11KitUri* uri, const signer_options& options, std::string& error);
    const std::string& name() const override { return uri_; }
    const rsa_public& public_key() const override { return public_; }
    bool sign(const sign_request& request, std::string& signature, std::string& error) override;

private:
    PKCS11_SLOT* find_token(P11KitUri* uri, std::string& error) const;
    bool log_in(PKCS11_SLOT& slot, const signer_options& options, std::string& error) const;
    PKCS11_KEY* find_key(P11KitUri* uri, PKCS11_TOKEN& token, std::string& error) const;

    std::string uri_;
    std::shared_ptr<pkcs11_module> module_;  // outlives key_
    EVP_PKEY* key_ = nullptr;
    rsa_public public_;
};

PKCS11_SLOT* pkcs11_signer::find_token(P11KitUri* uri, std::string& error) const {
    std::vector<PKCS11_SLOT*> matching;
    std::string seen;
    for (PKCS11_SLOT& slot : module_->slots()) {
        if (slot.token == nullptr || !slot.token->initialized) continue;
        seen += (seen.empty() ? "" : ", ") + quoted(slot.token->label);
        if (token_matches(uri, module_->ctx(), slot)) matching.push_back(&slot);
    }
    if (matching.size() == 1) return matching.front();
    if (matching.empty())
        error = "no token matches (" + (seen.empty() ? "the module has no initialised token" : "tokens: " + seen) + ")";
    else
        error = std::to_string(matching.size()) + " tokens match (" + seen + "); name one with token= or serial=";
    return nullptr;
}

bool pkcs11_signer::log_in(PKCS11_SLOT& slot, const signer_options& options, std::string& error) const {
    int logged_in = 0;
    if (PKCS11_is_logged_in(&slot, 0, &logged_in) == 0 && logged_in) return true;
    if (!slot.token->loginRequired) return true;
    std::string pin;
    if (!read_pin(options, pin, error)) {
        error = "token " + quoted(slot.token->label) + " needs a PIN: " + error;
        return false;
    }
    const bool ok = PKCS11_open_session(&slot, 0) == 0 && PKCS11_login(&slot, 0, pin.c_str()) == 0;
    OPENSSL_cleanse(pin.data(), pin.size());
    if (!ok) error = "login to token " + quoted(slot.token->label) + " failed: " + library_error();
    return ok;
}

PKCS11_KEY* pkcs11_signer::find_key(P11KitUri* uri, PKCS11_TOKEN& token, std::string& error) const {
    PKCS11_KEY* keys = nullptr;
    unsigned count = 0;
    if (PKCS11_enumerate_keys(&token, &keys, &count) != 0) {
        error = "cannot list the keys of token " + quoted(token.label) + ": " + library_error();
        return nullptr;
    }
    std::vector<PKCS11_KEY*> matching;
    for (unsigned i = 0; i < count; ++i)
        if (keys[i].isPrivate && key_matches(uri, keys[i])) matching.push_back(&keys[i]);
    if (matching.size() == 1) return matching.front();
    if (matching.empty())
        error = "no private key in token " + quoted(token.label) + " matches";
    else
        error = std::to_string(matching.size()) + " private keys in token " + quoted(token.label) +
                " match; name one with object= or id=";
    return nullptr;
}

bool pkcs11_signer::open(P11KitUri* uri, const signer_options& options, std::string& error) {
    PKCS11_SLOT* slot = find_token(uri, error);
    if (slot == nullptr || !log_in(*slot, options, error)) return false;
    PKCS11_KEY* key = find_key(uri, *slot->token, error);
    if (key == nullptr) return false;
    if (PKCS11_get_key_type(key) != EVP_PKEY_RSA) {
        error = "not an RSA key";
        return false;
    }
    key_ = PKCS11_get_private_key(key);
    if (key_ == nullptr) {
        error = "cannot use the key: " + library_error();
        return false;
    }
    const int bits = EVP_PKEY_get_bits(key_);
    if (!device_key_size(static_cast<size_t>(bits))) {
        error = "an RSA key of " + std::to_string(bits) + " bits; the device verifies 1024- and 2048-bit keys only";
        return false;
    }
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key_, &der);
    const bool ok = length > 0 && rsa_public_from_der({der, static_cast<size_t>(length)}, public_, error);
    OPENSSL_free(der);
    if (length <= 0) error = "cannot read the public half of the key: " + library_error();
    return ok;
}

bool pkcs11_signer::sign(const sign_request& request, std::string& signature, std::string& error) {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key_, nullptr),
                                                                     EVP_PKEY_CTX_free);
    const auto* digest = reinterpret_cast<const unsigned char*>(request.digest.data());
    size_t length = 0;
    bool ok = ctx != nullptr && EVP_PKEY_sign_init(ctx.get()) > 0 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
              EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) > 0 &&
              EVP_PKEY_sign(ctx.get(), nullptr, &length, digest, request.digest.size()) > 0;
    if (ok) {
        signature.assign(length, '\0');
        ok = EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &length, digest,
                           request.digest.size()) > 0;
        signature.resize(length);
    }
    if (!ok) error = uri_ + ": signing in the module failed: " + library_error();
    return ok;
}

}  // namespace

std::unique_ptr<signer> open_pkcs11_key(const std::string& uri, signer_options& options, std::string& error) {
    parsed_uri parsed;
    const int result = p11_kit_uri_parse(uri.c_str(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, parsed.uri);
    if (result != P11_KIT_URI_OK) {
        error = uri + ": not a PKCS#11 URI: " + p11_kit_uri_message(result);
        return nullptr;
    }
    if (p11_kit_uri_any_unrecognized(parsed.uri)) {
        error = uri + ": the URI has attributes mkbundle does not know";
        return nullptr;
    }
    if (p11_kit_uri_get_pin_value(parsed.uri) != nullptr || p11_kit_uri_get_pin_source(parsed.uri) != nullptr) {
        error = uri + ": a PIN is never taken from the command line, where the process list shows it; "
                      "set MKBUNDLE_PKCS11_PIN or give --pin-file FILE";
        return nullptr;
    }
    const char* uri_module = p11_kit_uri_get_module_path(parsed.uri);
    std::string path = options.module_path;
    if (path.empty() && uri_module != nullptr) path = uri_module;
    if (path.empty()) {
        error = uri + ": name the PKCS#11 module with --pkcs11-module PATH";
        return nullptr;
    }
    if (uri_module != nullptr && path != uri_module) {
        error = uri + ": the URI names the module " + uri_module + ", --pkcs11-module names " + path;
        return nullptr;
    }
    if (options.module == nullptr) {
        auto module = std::make_shared<pkcs11_module>();
        if (!module->load(path, error)) return nullptr;
        options.module = std::move(module);
    } else if (options.module->path() != path) {
        error = uri + ": the keys of one bundle come from one PKCS#11 module (" + options.module->path() + ")";
        return nullptr;
    }
    auto s = std::make_unique<pkcs11_signer>(uri, options.module);
    if (!s->open(parsed.uri, options, error)) {
        error = uri + ": " + error;
        return nullptr;
    }
    return s;
}

}  // namespace mkbundle

#include "update/signing.h"

#include <fnmatch.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <mbedtls/bignum.h>
#include <mbedtls/md.h>
#include <mbedtls/rsa.h>

#include "signing_keys.h"
#include "display/bar.h"
#include "sys/console.h"
#include "update/unbundle_common.h"

namespace qm {

namespace {

// The RSA context is released on every path.
struct rsa_public_key {
    mbedtls_rsa_context rsa;
    rsa_public_key() { mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0); }
    ~rsa_public_key() { mbedtls_rsa_free(&rsa); }
    rsa_public_key(const rsa_public_key&) = delete;
    rsa_public_key& operator=(const rsa_public_key&) = delete;
};

}  // namespace

int verify(const uint8_t* mod, size_t mod_len, const uint8_t* exp, size_t exp_len,
           unsigned sig_len, const uint8_t* sig, const uint8_t* digest) {
    rsa_public_key key;
    if (mbedtls_mpi_read_binary(&key.rsa.N, mod, mod_len) != 0 ||
        mbedtls_mpi_read_binary(&key.rsa.E, exp, exp_len) != 0)
        return 0;
    key.rsa.len = mbedtls_mpi_size(&key.rsa.N);
    const int len = static_cast<int>(key.rsa.len);
    if (len == 0) {
        err("ERROR: rsa.len is 0\n");
        return 0;
    }
    if (static_cast<unsigned>(len) != sig_len) {
        err("ERROR: signature is not the correct length (%d bytes versus %d bytes)\n", len,
            static_cast<int>(sig_len));
        return 0;
    }
    return mbedtls_rsa_pkcs1_verify(&key.rsa, nullptr, nullptr, MBEDTLS_RSA_PUBLIC, MBEDTLS_MD_SHA256,
                                    32, digest, sig) == 0
               ? 1
               : 0;
}

std::span<const public_key> builtin_keys() {
    static constexpr public_key keys[] = {{key1_mod, key1_exp}, {key2_mod, key2_exp}};
    return keys;
}

int signature_key(std::span<const public_key> keys, unsigned sig_len, const uint8_t* sig,
                  const uint8_t* digest) {
    for (size_t i = 0; i < keys.size(); ++i) {
        const public_key& key = keys[i];
        if (key.mod.empty()) continue;
        if (verify(key.mod.data(), key.mod.size(), key.exp.data(), key.exp.size(), sig_len, sig, digest))
            return static_cast<int>(i + 1);
    }
    return 0;
}

int signature_verify(unsigned sig_len, const uint8_t* sig, const uint8_t* digest) {
    return signature_key(builtin_keys(), sig_len, sig, digest) != 0 ? 1 : 0;
}

int check_verdict(const image_check (&checks)[image_type_count]) {
    return check_verdict(checks, builtin_keys(), nullptr);
}

int check_verdict(const image_check (&checks)[image_type_count], std::span<const public_key> keys,
                  int (*signed_by)[image_type_count]) {
    bool authorised = true;
    for (int type = 0; type < image_type_count; ++type) {
        const image_check& check = checks[type];
        const char* name = bundle_info_name(type);
        if (signed_by != nullptr) (*signed_by)[type] = 0;
        // The install pass writes every image member it matches, so a second
        // image of one type could slip past a verdict on the last one alone.
        if (check.members > 1) {
            err("ERROR:%s:bundle holds %u images of this type, only one is allowed\n", name,
                check.members);
            authorised = false;
        }
        if (!check.present) {
            err("INFO:%s:%s\n", name, "missing");
            continue;
        }
        const int key = signature_key(keys, check.sig_len, check.sig, check.sha256);
        if (signed_by != nullptr) (*signed_by)[type] = key;
        const int ok = key != 0;
        err("INFO:%s:%s siglen=%d sigpassed=%s\n", name, "Present", static_cast<int>(check.sig_len),
            ok ? "Yes" : "NO");
        if (!ok) {
            err("WARNING:%s:SIGNATURE FAILED!\n", name);
            authorised = false;
        }
    }
    if (!authorised) err("ERROR:\n**** THIS BUNDLE IS NOT AUTHORIZED TO INSTALL! ****\n");
    return authorised ? 1 : 0;
}

}  // namespace qm

namespace qm {

void check_new_member(const check_rules& rules, unbundle_state& state, untar_stream* stream,
                      tar_header* header) {
    clear_bar_text();
    state.weight = 0;
    const char* name = header->name;
    if (fnmatch("*.sig", name, 0) == 0) {
        err("SIGNATURE FILE: %s\n", name);
        member_rule_apply(member_rule_find(rules.signatures, name), state, stream, name);
        return;
    }
    const member_rule& rule = member_rule_find(rules.images, name);
    if (rule.image_type != image_none) ++state.checks[rule.image_type].members;
    member_rule_apply(rule, state, stream, name);
}

namespace {

void check_file_data_helper(unbundle_state& state, tar_header* header, uint64_t offset,
                            uint32_t length, const uint8_t* bytes, int type) {
    hash_update(state, bytes, length);
    member_progress(state, header, offset + length);
    if (!member_complete(header, offset, length)) return;
    progress_push(state.weight);
    clear_bar_text();
    err("CHK: %s ", header->name);
    image_check& check = state.checks[type];
    hash_finish(state, check.md5, check.sha256);
    check.present = 1;
    err("hash for %s:\n", bundle_info_name(type));
    char hex[2 * sizeof check.sha256 + 1];
    for (size_t i = 0; i < sizeof check.md5; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", check.md5[i]);
    err("MD5: %s\n", hex);
    for (size_t i = 0; i < sizeof check.sha256; ++i)
        std::snprintf(hex + 2 * i, 3, "%02x", check.sha256[i]);
    err("SHA256: %s\n", hex);
}

void signature_file_data(unbundle_state& state, tar_header* header, uint64_t offset,
                         uint32_t length, const uint8_t* bytes, int type) {
    image_check& check = state.checks[type];
    const size_t room = sizeof check.sig - check.sig_len;
    const size_t n = std::min<size_t>(length, room);
    std::memcpy(check.sig + check.sig_len, bytes, n);
    check.sig_len += static_cast<unsigned>(n);
    if (!member_complete(header, offset, length)) return;
    clear_bar_text();
    progress_push(state.weight);
    err("INFO:%s:sig_len=%zd\n", header->name, static_cast<ssize_t>(check.sig_len));
}

}  // namespace

int uimage_check_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                            uint32_t length, const uint8_t* bytes) {
    check_file_data_helper(state_of(opaque), header, offset, length, bytes, image_uimage);
    return 1;
}
int rootfs_check_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                            uint32_t length, const uint8_t* bytes) {
    check_file_data_helper(state_of(opaque), header, offset, length, bytes, image_rootfs);
    return 1;
}
int uboot_check_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                           uint32_t length, const uint8_t* bytes) {
    check_file_data_helper(state_of(opaque), header, offset, length, bytes, image_uboot);
    return 1;
}
int diagsfs_check_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                             uint32_t length, const uint8_t* bytes) {
    check_file_data_helper(state_of(opaque), header, offset, length, bytes, image_diagsfs);
    return 1;
}
int uimage_sig_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                          uint32_t length, const uint8_t* bytes) {
    signature_file_data(state_of(opaque), header, offset, length, bytes, image_uimage);
    return 1;
}
int rootfs_sig_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                          uint32_t length, const uint8_t* bytes) {
    signature_file_data(state_of(opaque), header, offset, length, bytes, image_rootfs);
    return 1;
}
int uboot_sig_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                         uint32_t length, const uint8_t* bytes) {
    signature_file_data(state_of(opaque), header, offset, length, bytes, image_uboot);
    return 1;
}
int diagsfs_sig_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                           uint32_t length, const uint8_t* bytes) {
    signature_file_data(state_of(opaque), header, offset, length, bytes, image_diagsfs);
    return 1;
}

int generic_check_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset,
                             uint32_t length, const uint8_t*) {
    unbundle_state& state = state_of(opaque);
    member_progress(state, header, offset + length);
    if (!member_complete(header, offset, length)) return 1;
    progress_push(state.weight);
    clear_bar_text();
    err("CHK: %s ", header->name);
    return 1;
}

int updatedat_file_data(void*, untar_stream*, tar_header* header, uint64_t offset,
                         uint32_t length, const uint8_t* bytes) {
    const char* text = reinterpret_cast<const char*>(bytes);
    const char* end = text + length;
    while (text < end) {
        const char* line_end = static_cast<const char*>(std::memchr(text, '\n', end - text));
        const char* stop = line_end != nullptr ? line_end : end;
        out("%s:%.*s\n", header->name, static_cast<int>(stop - text), text);
        text = line_end != nullptr ? line_end + 1 : end;
    }
    if (member_complete(header, offset, length)) out("%s:EOF\n", header->name);
    return 1;
}

int announce_ignored_file(unbundle_state&, const char* name) {
    err("IGNORING FILE: %s\n", name);
    return 1;
}

int announce_ignored_signature(unbundle_state&, const char* name) {
    err("IGNORING SIGNATURE FILE: %s\n", name);
    return 1;
}

int authorise_bundle(const char* path, int file, const update_config* config,
                     new_member_handler check_new_file, image_check (&checks)[image_type_count],
                     int* pass_ok) {
    const int walked = do_unbundle(path, file, config, check_new_file, checks);
    if (pass_ok != nullptr) *pass_ok = walked;
    if (!walked) return 0;
    return check_verdict(checks);
}

}  // namespace qm

#include "update/signing.h"

#include <fnmatch.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

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
        if (check.incomplete) {
            err("ERROR:%s:%s ends before its data\n", name, check.name);
            authorised = false;
        }
        if (check.too_large || check.damaged) authorised = false;  // said when the member came
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

namespace {

// Whether the device's check pass inflates compressed images to their end.
// It would refuse a signed image whose stream is damaged before anything is
// written, but it costs a quarter more instructions for check and install
// of a root file-system bundle (docs/power-cuts.md): the device relies on
// the install journal instead, which holds a reader whose update cannot
// finish in recovery. The bundle tools inflate every image.
constexpr bool inflate_before_install = false;

bool inflated_at_install(int type) { return type == image_rootfs || type == image_diagsfs; }

void report_too_large(const image_check& check, int type, uint64_t size) {
    err("ERROR:%s:%s holds %llu bytes, more than the %llu bytes of its destination\n", bundle_info_name(type),
        check.name, static_cast<unsigned long long>(size), static_cast<unsigned long long>(check.room));
}

// Notes an image member of the check pass: what it is, whether its
// destination can hold it, and room for the digests of its pieces.
void begin_image_member(const check_rules& rules, unbundle_state& state, const tar_header* header, int type) {
    image_check& check = state.checks[type];
    ++check.members;
    std::memcpy(check.name, header->name, sizeof check.name);
    check.size = header->size;
    std::memset(check.head, 0, sizeof check.head);
    std::memset(check.tail, 0, sizeof check.tail);
    check.incomplete = header->size > 0 ? 1 : 0;
    check.room = rules.room != nullptr ? rules.room(type, state.config) : 0;
    // An image inflated on its way (a gzip root file system or diagnostics
    // image) may be larger compressed than its destination and still fit:
    // its size is judged when the member is complete.
    if (!inflated_at_install(type) && check.room != 0 && header->size > check.room) {
        report_too_large(check, type, header->size);
        check.too_large = 1;
        return;
    }
    if (!piece_record_reserve(check.pieces, header->size)) {
        report_perror("malloc", ENOMEM);
        ++state.errors;
    }
    if (state.zstream_active) {
        inflateEnd(&state.zstream);
        state.zstream_active = 0;
    }
    check.damaged = 0;
    state.inflate_check = check.inflate_check && inflated_at_install(type) ? unbundle_state::inflating::pending
                                                                           : unbundle_state::inflating::no;
}

}  // namespace

void check_new_member(const check_rules& rules, unbundle_state& state, untar_stream* stream,
                      tar_header* header) {
    clear_bar_text();
    state.weight = 0;
    const char* name = header->name;
    if (fnmatch("*.sig", name, 0) == 0) {
        err("SIGNATURE FILE: %s\n", name);
        const member_rule& rule = member_rule_find(rules.signatures, name);
        state.member_type = rule.image_type;
        member_rule_apply(rule, state, stream, name);
        return;
    }
    const member_rule& rule = member_rule_find(rules.images, name);
    state.member = header;
    state.member_type = rule.image_type;
    if (rule.image_type != image_none) begin_image_member(rules, state, header, rule.image_type);
    member_rule_apply(rule, state, stream, name);
}

namespace {

// A gzip image ends with the size of its content (modulo 4 GiB, of its last
// member): a cheap early refusal of a root file system, or a diagnostics
// image (copied through a gzip reader), that cannot fit once inflated. The
// install pass still stops at the end of the root file system's partition.
void check_inflated_size(image_check& check, int type) {
    if (!inflated_at_install(type) || check.room == 0) return;
    const bool gzip = check.size >= 18 && check.head[0] == 0x1f && check.head[1] == 0x8b;
    const uint64_t inflated = !gzip ? check.size
                                    : uint64_t{check.tail[0]} | uint64_t{check.tail[1]} << 8 |
                                          uint64_t{check.tail[2]} << 16 | uint64_t{check.tail[3]} << 24;
    if (inflated <= check.room) return;
    report_too_large(check, type, inflated);
    check.too_large = 1;
}

// --- the inflate check ------------------------------------------------------

constexpr size_t inflate_check_block = 131072;

void inflate_check_failed(unbundle_state& state, image_check& check, int type, const char* why) {
    err("ERROR:%s:%s cannot be installed whole: %s\n", bundle_info_name(type), check.name, why);
    check.damaged = 1;
    state.inflate_check = unbundle_state::inflating::no;
}

// Starts inflating once the member's first two bytes are known: a root file
// system is always inflated, a diagnostics image only when it is gzip.
// False when there is nothing (more) to do for this member.
[[nodiscard]] bool inflate_check_start(unbundle_state& state, image_check& check, int type, uint64_t known) {
    if (known < sizeof check.head && known < check.size) return false;
    const bool gzip = check.head[0] == 0x1f && check.head[1] == 0x8b;
    if (type != image_rootfs && !gzip) {
        state.inflate_check = unbundle_state::inflating::no;
        return false;
    }
    state.zstream = {};
    if (!state.inflated) state.inflated.reset(new (std::nothrow) uint8_t[inflate_check_block]);
    if (!state.inflated || inflateInit2(&state.zstream, 15 + 16) != Z_OK) {
        report_perror("malloc", ENOMEM);
        ++state.errors;
        state.inflate_check = unbundle_state::inflating::no;
        return false;
    }
    state.zstream_active = 1;
    state.zstream_ended = false;
    state.written = 0;
    state.inflate_check = unbundle_state::inflating::yes;
    return true;
}

// Inflates bytes of the member as the install pass will (several gzip
// members one after another, nothing else after a member) and counts what
// comes out; the output goes nowhere.
void inflate_check_feed(unbundle_state& state, image_check& check, int type, const uint8_t* bytes, size_t length) {
    z_stream& z = state.zstream;
    z.next_in = const_cast<uint8_t*>(bytes);
    z.avail_in = static_cast<uInt>(length);
    for (;;) {
        if (state.zstream_ended) {
            if (z.avail_in == 0) return;
            inflateReset(&z);
            state.zstream_ended = false;
        }
        z.next_out = state.inflated.get();
        z.avail_out = inflate_check_block;
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_BUF_ERROR && z.avail_in == 0 && z.avail_out == inflate_check_block) return;
        if (status != Z_OK && status != Z_STREAM_END) {
            inflate_check_failed(state, check, type, z.msg != nullptr ? z.msg : "compressed data error");
            return;
        }
        state.written += inflate_check_block - z.avail_out;
        if (status == Z_STREAM_END) {
            state.zstream_ended = true;
            continue;
        }
        if (z.avail_in == 0 && z.avail_out != 0) return;
    }
}

void inflate_check_data(unbundle_state& state, image_check& check, int type, uint64_t offset, const uint8_t* bytes,
                        uint32_t length) {
    if (state.inflate_check == unbundle_state::inflating::pending) {
        const uint64_t before = offset;
        if (!inflate_check_start(state, check, type, offset + length)) return;
        // Head bytes that came in an earlier piece go in first.
        if (before > 0) inflate_check_feed(state, check, type, check.head, static_cast<size_t>(before));
    }
    if (state.inflate_check == unbundle_state::inflating::yes) inflate_check_feed(state, check, type, bytes, length);
}

// True when the member was inflated to its end (its size then judged on
// what came out, not on what its trailer says).
[[nodiscard]] bool inflate_check_end(unbundle_state& state, image_check& check, int type) {
    if (check.damaged) return true;
    if (state.inflate_check != unbundle_state::inflating::yes) return false;
    state.inflate_check = unbundle_state::inflating::no;
    if (!state.zstream_ended) {
        inflate_check_failed(state, check, type, "its compressed data ends early");
        return true;
    }
    if (check.room != 0 && state.written > check.room) {
        report_too_large(check, type, state.written);
        check.too_large = 1;
    }
    return true;
}

void keep_ends(image_check& check, uint64_t offset, const uint8_t* bytes, uint32_t length) {
    for (uint64_t at = offset; at < sizeof check.head && at < offset + length; ++at)
        check.head[at] = bytes[at - offset];
    if (length >= sizeof check.tail) {
        std::memcpy(check.tail, bytes + length - sizeof check.tail, sizeof check.tail);
        return;
    }
    std::memmove(check.tail, check.tail + length, sizeof check.tail - length);
    std::memcpy(check.tail + sizeof check.tail - length, bytes, length);
}

void check_file_data_helper(unbundle_state& state, tar_header* header, uint64_t offset,
                            uint32_t length, const uint8_t* bytes, int type) {
    image_check& check = state.checks[type];
    mbedtls_md5_update_ret(&state.md5, bytes, length);
    piece_record_update(check.pieces, state.sha256, offset, header->size, bytes, length);
    keep_ends(check, offset, bytes, length);
    inflate_check_data(state, check, type, offset, bytes, length);
    member_progress(state, header, offset + length);
    if (!member_complete(header, offset, length)) return;
    const bool inflated = inflate_check_end(state, check, type);
    progress_push(state.weight);
    clear_bar_text();
    err("CHK: %s ", header->name);
    hash_finish(state, check.md5, check.sha256);
    check.present = 1;
    check.incomplete = 0;
    if (!inflated) check_inflated_size(check, type);
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

// A row that hands a member to these handlers names its image type; one
// that does not is a mistake in the rules, and the pass fails rather than
// let the member count for a type it is not.
[[nodiscard]] bool valid_image_type(unbundle_state& state) {
    if (state.member_type >= 0 && state.member_type < image_type_count) return true;
    ++state.errors;
    return false;
}

}  // namespace

int image_check_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset, uint32_t length,
                          const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    if (!valid_image_type(state)) return 1;
    check_file_data_helper(state, header, offset, length, bytes, state.member_type);
    return 1;
}

int signature_check_file_data(void* opaque, untar_stream*, tar_header* header, uint64_t offset, uint32_t length,
                              const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    if (!valid_image_type(state)) return 1;
    signature_file_data(state, header, offset, length, bytes, state.member_type);
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

int announce_ignored_signature(unbundle_state&, const char* name) {
    err("IGNORING SIGNATURE FILE: %s\n", name);
    return 1;
}

int authorise_bundle(const char* path, int file, const update_config* config,
                     new_member_handler check_new_file, image_check (&checks)[image_type_count],
                     int* pass_ok, bool* read_failed) {
    checks[image_rootfs].inflate_check = checks[image_diagsfs].inflate_check = inflate_before_install ? 1 : 0;
    const int walked = do_unbundle(path, file, config, check_new_file, checks, nullptr, read_failed);
    if (pass_ok != nullptr) *pass_ok = walked;
    if (!walked) return 0;
    return check_verdict(checks);
}

}  // namespace qm

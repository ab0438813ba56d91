// Bundle authorisation: the per-image check records filled by the check
// pass, RSA signature verification against the two built-in public keys,
// and the verdict over the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "update/image_pieces.h"
#include "update/unbundle_common.h"

namespace qm {

// What the check pass learnt about one image type (indexed by image type).
struct image_check {
    uint32_t present;     // 1 once an image member of this type was read to its end
    uint8_t md5[16];      // digests of that member
    uint8_t sha256[32];
    unsigned sig_len;     // signature bytes stored, 0 to 512
    uint8_t sig[512];     // bytes of every signature member of this type, appended
    unsigned members;     // image members of this type met, complete or not
    // The member as the check pass met it, so that the install pass can
    // tell it is writing that very member and nothing else.
    char name[101];
    uint64_t size;
    uint32_t incomplete;  // a member of this type with data began and did not end
    uint32_t too_large;   // its destination cannot hold it (reported)
    uint64_t room;        // bytes its destination holds, 0 when unknown
    uint8_t head[2];      // the member's first bytes: the gzip magic, when it is gzip
    uint8_t tail[4];      // its last bytes: a gzip image ends with its size
    piece_record pieces;
    // Set by the caller before the check pass: a compressed image of this
    // type (the root file system, a gzip diagnostics image) is inflated to
    // its end, so that one whose stream is damaged, or that does not fit
    // once inflated, is refused before anything is written.
    uint32_t inflate_check;
    uint32_t damaged;  // it does not inflate whole (reported)
};

// 1 when sig (sig_len bytes) is a PKCS#1 v1.5 signature of the 32-byte
// SHA-256 digest under the key (big-endian modulus and exponent), else 0
// after a message on the standard error stream for a length mismatch.
[[nodiscard]] int verify(const uint8_t* mod, size_t mod_len, const uint8_t* exp, size_t exp_len,
           unsigned sig_len, const uint8_t* sig, const uint8_t* digest);

// 1 when the signature verifies under built-in key 1 or key 2, else 0.
[[nodiscard]] int signature_verify(unsigned sig_len, const uint8_t* sig, const uint8_t* digest);

// An RSA public key as a build embeds it: big-endian modulus and exponent.
// An empty modulus stands for a key left out of a check.
struct public_key {
    std::span<const uint8_t> mod;
    std::span<const uint8_t> exp;
};

// Key 1 and key 2 of this build, in that order.
[[nodiscard]] std::span<const public_key> builtin_keys();

// The number (1 for the first) of the first key of keys under which the
// signature verifies, trying them in order as signature_verify does; 0 when
// none does.
[[nodiscard]] int signature_key(std::span<const public_key> keys, unsigned sig_len, const uint8_t* sig,
                  const uint8_t* digest);

// The verdict after a successful check pass: verifies every present image,
// reports each type on the standard error stream, and returns 1 when the
// bundle is authorised to install, else 0 (after the "NOT AUTHORIZED" line).
[[nodiscard]] int check_verdict(const image_check (&checks)[image_type_count]);
// The same verdict against other keys (tools check a bundle against the keys
// of another build this way). signed_by, when not null, receives for each
// image type the number of the key its signature verified under, 0 for none.
[[nodiscard]] int check_verdict(const image_check (&checks)[image_type_count], std::span<const public_key> keys,
                  int (*signed_by)[image_type_count]);

// The check pass: the two ordered rule lists of a board family. Members
// named "*.sig" take the signature list, all others the image list. room
// tells how many bytes the destination of an image type holds on this
// family (0 when it cannot be known, as for a host tool without a device).
struct check_rules {
    std::span<const member_rule> signatures;
    std::span<const member_rule> images;
    uint64_t (*room)(int image_type, const update_config* config);
};

// The new-member step of the check pass over a family's rules: ends the
// progress line, prints "SIGNATURE FILE: %s" for signature members, counts
// image members per type and applies the deciding row.
void check_new_member(const check_rules& rules, unbundle_state& state, untar_stream* stream,
                      tar_header* header);

// Data handlers of the check pass, for the image type of the row that chose
// the member (unbundle_state::member_type): the digests of an image member,
// the bytes of a signature member.
[[nodiscard]] int image_check_file_data(void*, untar_stream*, tar_header*, uint64_t, uint32_t, const uint8_t*);
[[nodiscard]] int signature_check_file_data(void*, untar_stream*, tar_header*, uint64_t, uint32_t, const uint8_t*);
// Shows a member no rule names; it takes no part in the verdict.
[[nodiscard]] int generic_check_file_data(void*, untar_stream*, tar_header*, uint64_t, uint32_t, const uint8_t*);
// Echoes an informational text member line by line on the standard output.
[[nodiscard]] int updatedat_file_data(void*, untar_stream*, tar_header*, uint64_t, uint32_t, const uint8_t*);

// Start action of the signature catch-all row.
[[nodiscard]] int announce_ignored_signature(unbundle_state& state, const char* name);

// The check rows every family shares, after the family's own kernel and
// boot-loader rows (rules_of). A shared row's patterns never name a
// family's member, so which comes first changes no decision.
inline constexpr member_rule shared_signature_rows[] = {
    {{"rootfs.img.gz.sig", nullptr}, match_kind::exact, image_rootfs, false, 0, nullptr, signature_check_file_data,
     nullptr},
    {{"diagsfs.img.sig", nullptr}, match_kind::exact, image_diagsfs, false, 0, nullptr, signature_check_file_data,
     nullptr},
    {{nullptr, nullptr}, match_kind::glob, image_none, false, 0, announce_ignored_signature, ignore_file_data, nullptr},
};
inline constexpr member_rule shared_image_check_rows[] = {
    {{"update*.dat", nullptr}, match_kind::glob, image_none, false, 0, announce_ignored_file, updatedat_file_data,
     nullptr},
    {{"rootfs*.img.gz", nullptr}, match_kind::glob, image_rootfs, true, 20, nullptr, image_check_file_data, nullptr},
    {{"diagsfs*.img", nullptr}, match_kind::glob, image_diagsfs, true, 0, nullptr, image_check_file_data, nullptr},
    {{nullptr, nullptr}, match_kind::glob, image_none, false, 0, nullptr, generic_check_file_data, nullptr},
};

// The check pass over a bundle open as file (at its first byte) with the
// family's check_new_file, then the verdict. The caller has cleared checks
// and progress_base. 1 when the bundle is authorised; *pass_ok (may be null)
// tells whether the check pass itself succeeded (no verdict is made if not),
// *read_failed (may be null) whether reading the bundle file failed.
[[nodiscard]] int authorise_bundle(const char* path, int file, const update_config* config,
                     new_member_handler check_new_file, image_check (&checks)[image_type_count],
                     int* pass_ok = nullptr, bool* read_failed = nullptr);

}  // namespace qm

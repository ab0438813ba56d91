// The update bundle container and the pipeline that walks it: header check,
// unscrambling, inflation in fixed blocks and the tar stream parser, whose
// callbacks run member handlers chosen by ordered name rules. Also what the
// check and install passes share: the per-pass state, the digests, the
// progress accounting and the end-of-member step.
#pragma once

#include <zlib.h>

#include <mbedtls/md5.h>
#include <mbedtls/sha256.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "update/image_pieces.h"
#include "update/untar.h"
#include "update/update.h"

namespace qm {

struct image_check;
struct install_plan;

// Bundle file: a header block that starts with a magic, then the scrambled
// gzip stream of a ustar archive.
inline constexpr char bundle_magic[4] = {'F', 'B', '0', '2'};
inline constexpr char bundle_magic_ota[4] = {'F', 'C', '0', '2'};
inline constexpr size_t bundle_header_size = 131072;
inline constexpr size_t bundle_input_block = 131072;
inline constexpr size_t bundle_output_block = 524288;

// Each payload byte has its nibbles swapped and is XORed with payload_key.
inline constexpr uint8_t payload_key = 0x5C;
[[nodiscard]] inline uint8_t payload_unscramble_byte(uint8_t b) {
    return static_cast<uint8_t>(((b << 4) | (b >> 4)) ^ payload_key);
}
[[nodiscard]] inline uint8_t payload_scramble_byte(uint8_t b) {
    const uint8_t x = b ^ payload_key;
    return static_cast<uint8_t>((x << 4) | (x >> 4));
}
void payload_unscramble(std::span<uint8_t> bytes);
void payload_scramble(std::span<uint8_t> bytes);

// Image types: indexes of the image_check table. Each has a name, in the
// same order, that the console, the verdict and the install journal use;
// the names give the number of types.
enum image_type : int { image_uimage = 0, image_rootfs = 1, image_uboot = 2, image_diagsfs = 3 };
inline constexpr const char* image_type_names[] = {"UImage", "RootFS", "UBoot", "DiagsFS"};
inline constexpr int image_type_count = static_cast<int>(std::size(image_type_names));
inline constexpr int image_none = -1;

// The type's name; "<error>" for any other number.
[[nodiscard]] const char* bundle_info_name(int type);

// The state of one pass, handed to every member handler as the parser's
// opaque context. Everything is cleared at the start of each pass.
struct unbundle_state {
    z_stream zstream;           // inflater of a member that is itself gzip-compressed
    uint32_t zstream_active;    // 1 while zstream must be ended
    mbedtls_md5_context md5;
    mbedtls_sha256_context sha256;
    const update_config* config;
    int fd;                     // destination of the member being installed, -1 when none
    unsigned errors;            // the pass succeeds only while this stays 0
    unsigned weight;            // progress weight of the current member, percent points
    image_check* checks;        // image_type_count records, shared by all passes of a bundle
    // Install passes only: what this attempt has installed and still holds
    // to write (null in the check pass and in the host tools).
    install_plan* plan;
    const tar_header* member;   // the member being handled
    int member_type;            // its image type, image_none when it is no image
    // Set when going on could only do harm (the bundle changed under the
    // pass): the walk ends after the current push.
    bool stop;
    bool read_failed;           // a read of the bundle file itself failed
    // The install pass proves each piece of an image before it moves on.
    piece_gate gate;
    bool zstream_ended;         // zstream has ended a gzip member; more data starts another
    // Check pass: the member is inflated to its end (image_check::inflate_check).
    enum class inflating : uint8_t { no, pending, yes } inflate_check;
    uint64_t room;              // bytes the open destination holds, 0 when unknown
    uint64_t written;           // bytes written to it so far
    // Inflated output of the root file system, taken when its member starts:
    // memory that runs out half-way would tear the partition.
    std::unique_ptr<uint8_t[]> inflated;
};

[[nodiscard]] inline unbundle_state& state_of(void* opaque) { return *static_cast<unbundle_state*>(opaque); }

// Handlers installed into the tar parser; the opaque context is the state.
using new_member_handler = untar_new_file_fn;
using member_data_handler = untar_file_data_fn;

// One row of an ordered member-name rule list; the first row whose pattern
// matches decides, and the last row (no patterns) takes every other name.
enum class match_kind { glob, exact };
struct member_rule {
    const char* patterns[2];  // one or two patterns; none on the catch-all row
    match_kind match;
    int image_type;           // image_none when the member is no image
    bool hashed;              // restart the digests when chosen
    unsigned weight;
    // Runs before any data arrives (may be null); 0 when it failed.
    int (*start)(unbundle_state& state, const char* name);
    member_data_handler data;
    // Prints what a failed start means (may be null); the error is counted.
    void (*failed)(unbundle_state& state, const char* name);
};

// A rule list put together from parts, in order: a family's own rows first,
// then the rows every family shares, which end with the catch-all row.
// Sizes come from the parts.
template <size_t... N>
[[nodiscard]] constexpr std::array<member_rule, (N + ...)> rules_of(const member_rule (&... parts)[N]) {
    std::array<member_rule, (N + ...)> rules{};
    size_t at = 0;
    (
        [&] {
            for (const member_rule& row : parts) rules[at++] = row;
        }(),
        ...);
    return rules;
}

[[nodiscard]] bool member_rule_matches(const member_rule& rule, const char* name);
// The deciding row; rules must end with a catch-all row.
[[nodiscard]] const member_rule& member_rule_find(std::span<const member_rule> rules, const char* name);
// Acts on the chosen row: digests, weight, start action, data handler.
void member_rule_apply(const member_rule& rule, unbundle_state& state, untar_stream* stream,
                       const char* name);

// One pass over the bundle open as file (at its first byte): 1 when the walk
// reached the end of the archive with no error counted, else 0. Nothing
// after the end of the archive is read. Messages on the standard error
// stream. plan is the install attempt's (null for a pass that installs
// nothing); *read_failed (may be null) tells whether reading the bundle
// file itself failed.
[[nodiscard]] int do_unbundle(const char* path, int file, const update_config* config,
                new_member_handler new_member, image_check* checks, install_plan* plan = nullptr,
                bool* read_failed = nullptr);

// Progress across all passes of one bundle; reset by the unbundler.
extern unsigned progress_base;
// Adds weight and prints "INFO:Total progress is %u%%\n" (not capped).
void progress_push(unsigned weight);
// progress_base plus the share of weight that position is of total, capped
// at 100; the share is 0 for an empty total.
[[nodiscard]] unsigned progress_percent(unsigned weight, uint64_t position, uint64_t total);
// Sets the e-ink bar to progress_percent.
void progress_update(unsigned weight, uint64_t position, uint64_t total);
// The progress of a member: the rewritten console line, the text bar and
// the e-ink bar, for position bytes of the member handled.
void member_progress(unbundle_state& state, tar_header* header, uint64_t position);
void image_progress(const char* name, uint64_t position, uint64_t size, unsigned weight);

void hash_starts(unbundle_state& state);
void hash_update(unbundle_state& state, const uint8_t* bytes, size_t length);
void hash_finish(unbundle_state& state, uint8_t* md5_out, uint8_t* sha256_out);

// "IGNORING FILE: %s": a member that takes no part in the pass. As a start
// action it accepts the member (1); as a failed-start action it only says so.
[[nodiscard]] int announce_ignored_file(unbundle_state& state, const char* name);
void print_ignored_file(unbundle_state& state, const char* name);

// A data handler that drops the bytes.
[[nodiscard]] int ignore_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset,
                      uint32_t length, const uint8_t* bytes);

// End-of-member step of the installing data handlers: ends the progress
// line, pushes the weight, closes fd and reports the member installed.
void finish_file_data_helper(unbundle_state& state, tar_header* header);

// True when offset + length completes the member.
[[nodiscard]] inline bool member_complete(tar_header* header, uint64_t offset, uint32_t length) {
    return offset + length == header->size;
}

}  // namespace qm

// The install pass of both board families: the unbundle steps (check pass,
// verdict, up to three install attempts), the member handlers they share
// (raw regions, the root file system inflated onto its partition, the
// diagnostics image), and the final check that every image written is the
// image the verdict accepted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "update/signing.h"
#include "update/unbundle_common.h"
#include "update/update.h"

namespace qm {

// The unbundlers of the two families: 1 when the bundle was verified and
// installed; result codes 0 installed, 2 no configuration or all attempts
// failed, 4 not verified or not authorised.
int unbundle_selda(const char* path, update_config* config, int* result);
int unbundle_orvik(const char* path, update_config* config, int* result);

// Rows 3 to 6 of the install rules, the same in both families: the root
// file system inflated onto its partition, a plain image ignored, the
// diagnostics image kept for later, and every other member ignored.
int rootfs_gz_file_start(unbundle_state& state, const char* name);
void rootfs_gz_start_failed(unbundle_state& state, const char* name);
int rootfs_gz_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                        const uint8_t* bytes);
int diagsfs_img_file_start(unbundle_state& state, const char* name);
void diagsfs_img_start_failed(unbundle_state& state, const char* name);
int diagsfs_img_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset,
                          uint32_t length, const uint8_t* bytes);
// "IGNORING FILE: %s" for members that are not installed (no error).
int announce_not_installed(unbundle_state& state, const char* name);
// "IGNORING FILE: %s" after a start that failed (the error is counted).
void ignoring_file(unbundle_state& state, const char* name);

inline constexpr member_rule shared_install_rows[] = {
    {{"rootfs*.img.gz", nullptr}, match_kind::glob, image_rootfs, true, 60, rootfs_gz_file_start,
     rootfs_gz_file_data, rootfs_gz_start_failed},
    {{"rootfs*.img", nullptr}, match_kind::glob, image_none, false, 0, announce_not_installed, ignore_file_data,
     nullptr},
    {{"diagsfs*.img", nullptr}, match_kind::glob, image_diagsfs, true, 0, diagsfs_img_file_start,
     diagsfs_img_file_data, diagsfs_img_start_failed},
    {{nullptr, nullptr}, match_kind::glob, image_none, false, 0, announce_not_installed, ignore_file_data, nullptr},
};

// A family's install rules: its kernel and boot-loader rows, then the
// shared ones.
template <size_t N>
constexpr std::array<member_rule, N + std::size(shared_install_rows)> install_rules_of(
    const member_rule (&family_rows)[N]) {
    std::array<member_rule, N + std::size(shared_install_rows)> rules{};
    size_t at = 0;
    for (const member_rule& row : family_rows) rules[at++] = row;
    for (const member_rule& row : shared_install_rows) rules[at++] = row;
    return rules;
}

// The steps both unbundlers take, with the family's new-member handlers.
int unbundle_with(const char* path, update_config* config, int* result, new_member_handler check_new_file,
                  new_member_handler install_new_file);

// The new-member step of an install pass: ends an unfinished inflater and
// applies the deciding row of the family's install rules.
void install_new_member(std::span<const member_rule> rules, unbundle_state& state, untar_stream* stream,
                        tar_header* header);

// Raw image at a fixed offset of a device: open and position it.
int offset_file_start(unbundle_state& state, const char* name, const char* device, long offset);
// Writes one run of a raw image within limit bytes of its region.
void offset_file_copy(untar_stream* stream, unbundle_state& state, tar_header* header, uint64_t offset,
                      uint32_t length, const uint8_t* bytes, const char* device, long base, uint64_t limit,
                      int image_type);


// At the end of an image member: true when the bytes just installed hash
// to what the verdict accepted for its type; otherwise reported with an
// EMERGENCY line naming the member and counted as an error.
bool installed_member_verified(unbundle_state& state, tar_header* header, int image_type);

// After a failed write: the WARNING and EMERGENCY lines, the error, and the
// rest of the member ignored.
void install_write_failed(unbundle_state& state, untar_stream* stream, tar_header* header, const char* device);

// Writes length bytes to state.fd, printing the member's progress from
// offset on; false after the failure path of install_write_failed.
bool install_write(unbundle_state& state, untar_stream* stream, tar_header* header, uint64_t offset,
                   const uint8_t* bytes, uint32_t length, const char* device);

}  // namespace qm

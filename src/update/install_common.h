// The install pass of both board families: the unbundle steps (check pass,
// verdict, up to three install attempts) and the member handlers they
// share (raw images, the root file system inflated onto its partition, the
// diagnostics image).
//
// Nothing reaches a destination before it is proven to be the very bytes
// the verdict accepted: an image member is installed only when the check
// pass verified a member of that name and size, and each of its pieces only
// once its digest matches the check pass's record (image_pieces.h). The
// root file system and the diagnostics image stream to their destinations;
// raw images (kernel, boot loader) are held in memory and written after the
// whole archive has been walked and every verified image has arrived, each
// in as few writes as it takes, and not at all when the region already
// holds it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "update/signing.h"
#include "update/unbundle_common.h"
#include "update/update.h"

namespace qm {

// The unbundlers of the two families: 1 when the bundle was verified and
// installed; the result codes are unbundle_installed, unbundle_install_failed
// (also for a missing configuration), unbundle_refused and
// unbundle_unreadable (update.h).
int unbundle_selda(const char* path, update_config* config, int* result);
int unbundle_orvik(const char* path, update_config* config, int* result);

// Where a raw image goes: a byte offset of a device, or a NOR flash
// partition written from its start through its block device.
struct raw_destination {
    const char* device;
    long offset;
    const char* mtd;  // the NOR partition unlocked while it is written; null on the MMC
};

// A raw image of an install attempt, held until the walk is over.
struct staged_image {
    char name[101];
    int type;
    unsigned weight;
    raw_destination destination;
    std::unique_ptr<uint8_t[]> bytes;
    uint64_t size;
    uint64_t filled;  // bytes proven and held so far
};

inline constexpr size_t max_staged_images = 2;  // a kernel and a boot loader

// What one install attempt has seen, installed and still has to write.
struct install_plan {
    staged_image staged[max_staged_images];
    size_t staged_count;
    bool seen[image_type_count];       // an image member of the type has come
    bool completed[image_type_count];  // and has been installed or held whole
    // Room to hold each raw image, taken before the walk begins: memory
    // that runs out must stop an attempt before it writes anything.
    std::unique_ptr<uint8_t[]> held[image_type_count];
};

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
    {{"rootfs*.img.gz", nullptr}, match_kind::glob, image_rootfs, false, 60, rootfs_gz_file_start,
     rootfs_gz_file_data, rootfs_gz_start_failed},
    {{"rootfs*.img", nullptr}, match_kind::glob, image_none, false, 0, announce_not_installed, ignore_file_data,
     nullptr},
    {{"diagsfs*.img", nullptr}, match_kind::glob, image_diagsfs, false, 0, diagsfs_img_file_start,
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

// The new-member step of an install pass: ends what an unfinished member
// left open, makes sure an image member is the one that was verified, and
// applies the deciding row of the family's install rules.
void install_new_member(std::span<const member_rule> rules, unbundle_state& state, untar_stream* stream,
                        tar_header* header);

// Start action of a raw image row: makes room to hold the member until the
// walk is over; 0 when there is none.
int stage_raw_image(unbundle_state& state, const char* name, const raw_destination& destination);
// Data handler of the raw image rows: proves and holds each piece.
int staged_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                     const uint8_t* bytes);

// After a failed write: the WARNING and EMERGENCY lines, the error, and the
// rest of the member ignored.
void install_write_failed(unbundle_state& state, untar_stream* stream, tar_header* header, const char* device);

// Writes length bytes to state.fd, printing the member's progress from
// offset on; false after the failure path of install_write_failed.
bool install_write(unbundle_state& state, untar_stream* stream, tar_header* header, uint64_t offset,
                   const uint8_t* bytes, uint32_t length, const char* device);

}  // namespace qm

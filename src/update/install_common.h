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

#include <sys/types.h>

#include "update/signing.h"
#include "update/unbundle_common.h"
#include "update/update.h"

namespace qm {

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

// At most one image of each type is held: a kernel and a boot loader today.
inline constexpr size_t max_staged_images = image_type_count;

// What one install attempt has seen, installed and still has to write.
struct install_plan {
    std::span<const member_rule> rules;  // the family's install rules
    staged_image staged[max_staged_images];
    size_t staged_count;
    bool seen[image_type_count];       // an image member of the type has come
    bool completed[image_type_count];  // and has been installed or held whole
    // Room to hold each raw image, taken before the walk begins: memory
    // that runs out must stop an attempt before it writes anything.
    std::unique_ptr<uint8_t[]> held[image_type_count];
    const char* path;    // the bundle file being walked
    int bundle;
    off_t checked_end;   // how far the check pass read it
    // An image's own data cannot be installed whole (a damaged compressed
    // stream, or more than its destination holds once inflated): another
    // attempt would fail the same way.
    bool damaged;
    uint32_t written;  // bit (1 << image type) per destination a write was begun on
};

// The install rows every family shares, after the family's own kernel and
// boot-loader rows (rules_of): the root file system inflated onto its
// partition, a plain image ignored, the diagnostics image kept for later,
// and every other member ignored.
[[nodiscard]] int rootfs_gz_file_start(unbundle_state& state, const char* name);
void rootfs_gz_start_failed(unbundle_state& state, const char* name);
[[nodiscard]] int rootfs_gz_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset,
                                      uint32_t length, const uint8_t* bytes);
[[nodiscard]] int diagsfs_img_file_start(unbundle_state& state, const char* name);
void diagsfs_img_start_failed(unbundle_state& state, const char* name);
[[nodiscard]] int diagsfs_img_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset,
                          uint32_t length, const uint8_t* bytes);

inline constexpr member_rule shared_install_rows[] = {
    {{"rootfs*.img.gz", nullptr}, match_kind::glob, image_rootfs, false, 60, rootfs_gz_file_start,
     rootfs_gz_file_data, rootfs_gz_start_failed},
    {{"rootfs*.img", nullptr}, match_kind::glob, image_none, false, 0, announce_ignored_file, ignore_file_data,
     nullptr},
    {{"diagsfs*.img", nullptr}, match_kind::glob, image_diagsfs, false, 0, diagsfs_img_file_start,
     diagsfs_img_file_data, diagsfs_img_start_failed},
    {{nullptr, nullptr}, match_kind::glob, image_none, false, 0, announce_ignored_file, ignore_file_data, nullptr},
};

// The steps both unbundlers take, with the family's check-pass new-member
// handler and its install rules. The result codes are unbundle_installed,
// unbundle_install_failed (also for a missing configuration),
// unbundle_refused and unbundle_unreadable (update.h).
[[nodiscard]] int unbundle_with(const char* path, update_config* config, int* result, new_member_handler check_new_file,
                  std::span<const member_rule> install_rules);

// Start action of a raw image row: makes room to hold the member until the
// walk is over; 0 when there is none.
[[nodiscard]] int stage_raw_image(unbundle_state& state, const char* name, const raw_destination& destination);
// Data handler of the raw image rows: proves and holds each piece.
[[nodiscard]] int staged_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset,
                                   uint32_t length, const uint8_t* bytes);

// After a failed write: the WARNING and EMERGENCY lines, the error, and the
// rest of the member ignored.
void install_write_failed(unbundle_state& state, untar_stream* stream, tar_header* header, const char* device);

// Writes length bytes to state.fd, printing the member's progress from
// offset on; false after the failure path of install_write_failed.
[[nodiscard]] bool install_write(unbundle_state& state, untar_stream* stream, tar_header* header, uint64_t offset,
                   const uint8_t* bytes, uint32_t length, const char* device);

}  // namespace qm

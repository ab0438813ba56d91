// The NOR-boot family: its member rules by name and its unbundler. The
// kernel and the boot loader go to NOR flash partitions, each unlocked only
// while its image is written.
#pragma once

#include <cstdint>
#include <span>

#include "update/signing.h"
#include "update/unbundle_common.h"
#include "update/update.h"

namespace qm {

// The unbundler: the check pass, the verdict, then up to three install
// attempts (unbundle_with). 1 when the bundle was verified and installed.
[[nodiscard]] int unbundle_orvik(const char* path, update_config* config, int* result);

}  // namespace qm

namespace qm::orvik {

// Bytes the destination of an image type holds on this family.
[[nodiscard]] uint64_t image_room(int image_type, const update_config* config);

// The rules of the check pass and of the install pass.
extern const check_rules check_pass_rules;
extern const std::span<const member_rule> install_pass_rules;

// New-member handler of the check pass.
[[nodiscard]] int check_new_file(void* opaque, untar_stream* stream, tar_header* header);

}  // namespace qm::orvik

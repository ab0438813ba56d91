// The MMC-boot family: its member rules by name and its unbundler. The boot
// loader and the kernel go to raw regions in front of the first partition
// of the internal MMC.
#pragma once

#include <cstdint>
#include <span>

#include "update/signing.h"
#include "update/unbundle_common.h"
#include "update/update.h"

namespace qm {

// The unbundler: the check pass, the verdict, then up to three install
// attempts (unbundle_with). 1 when the bundle was verified and installed.
[[nodiscard]] int unbundle_selda(const char* path, update_config* config, int* result);

}  // namespace qm

namespace qm::selda {

// Raw regions of the internal MMC in front of its first partition.
inline constexpr long bootloader_base = 3072;
inline constexpr uint64_t bootloader_limit = 262144;
inline constexpr long kernel_base = 266240;
inline constexpr uint64_t kernel_limit = 3407872;

// Bytes the destination of an image type holds on this family.
[[nodiscard]] uint64_t image_room(int image_type, const update_config* config);

// The rules of the check pass and of the install pass.
extern const check_rules check_pass_rules;
extern const std::span<const member_rule> install_pass_rules;

// New-member handler of the check pass.
[[nodiscard]] int check_new_file(void* opaque, untar_stream* stream, tar_header* header);

}  // namespace qm::selda

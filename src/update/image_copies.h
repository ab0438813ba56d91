// The redundant kernel and boot-loader copies in NOR flash.
#pragma once

#include <cstdint>

namespace qm {

// Bits of update_config.image_flags.
constexpr uint32_t kernel1_valid = 0x01;
constexpr uint32_t kernel2_valid = 0x02;
constexpr uint32_t bootloader1_valid = 0x04;
constexpr uint32_t bootloader2_valid = 0x08;
constexpr uint32_t kernel2_exists = 0x10;

// Fills the five bits from the images in flash. A null flags record is
// refused with a FATAL line.
void check_images(uint32_t* flags);

// Repairs an invalid copy from the valid one and sets its bit.
void copy_images(uint32_t* flags);

// Both kernels (or the only one) and both boot loaders are valid.
[[nodiscard]] bool images_sound(uint32_t flags);

// True when the two partitions (MTD block devices) hold the same bytes and
// the first holds an image (checked through first_mtd): a first copy the
// repair put back from its twin, or one that was never rewritten.
[[nodiscard]] bool copies_agree(const char* first_mtd, const char* label, const char* first, const char* second);

// Copies src to dst through the block device while mtd is unlocked.
// 1 copied, 0 not started, -1 the copy failed.
[[nodiscard]] int flash_copy_file(const char* src, const char* mtd, const char* dst, const char* label);

}  // namespace qm

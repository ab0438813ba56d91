// The install pass of the MMC-boot family: boot loader and kernel into raw
// regions in front of the first partition of the internal MMC.
#include "update/install_common.h"
#include "update/unbundle_selda.h"

namespace qm {

namespace {

constexpr const char* mmc = "/dev/mmcblk0";
constexpr long bootloader_base = 3072;
constexpr uint64_t bootloader_limit = 262144;
constexpr long kernel_base = 266240;
constexpr uint64_t kernel_limit = 3407872;

int uimage_start(unbundle_state& state, const char* name) { return offset_file_start(state, name, mmc, kernel_base); }
int uboot_start(unbundle_state& state, const char* name) {
    return offset_file_start(state, name, mmc, bootloader_base);
}

int uimage_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                     const uint8_t* bytes) {
    offset_file_copy(stream, state_of(opaque), header, offset, length, bytes, mmc, kernel_base, kernel_limit,
                     image_uimage);
    return 1;
}

int uboot_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                    const uint8_t* bytes) {
    offset_file_copy(stream, state_of(opaque), header, offset, length, bytes, mmc, bootloader_base,
                     bootloader_limit, image_uboot);
    return 1;
}

const member_rule install_rules[] = {
    {{"imx35_selda/uImage", nullptr}, match_kind::glob, image_uimage, true, 6, uimage_start, uimage_file_data,
     ignoring_file},
    {{"imx35_selda/u-boot.bin", nullptr}, match_kind::glob, image_uboot, true, 9, uboot_start, uboot_file_data,
     ignoring_file},
    {{"rootfs*.img.gz", nullptr}, match_kind::glob, image_rootfs, true, 60, rootfs_gz_file_start,
     rootfs_gz_file_data, rootfs_gz_start_failed},
    {{"rootfs*.img", nullptr}, match_kind::glob, image_none, false, 0, announce_not_installed, ignore_file_data,
     nullptr},
    {{"diagsfs*.img", nullptr}, match_kind::glob, image_diagsfs, true, 0, diagsfs_img_file_start,
     diagsfs_img_file_data, diagsfs_img_start_failed},
    {{nullptr, nullptr}, match_kind::glob, image_none, false, 0, announce_not_installed, ignore_file_data, nullptr},
};

int bundle_new_file(void* opaque, untar_stream* stream, tar_header* header) {
    install_new_member(install_rules, state_of(opaque), stream, header);
    return 1;
}

}  // namespace

int unbundle_selda(const char* path, update_config* config, int* result) {
    return unbundle_with(path, config, result, selda::check_new_file, bundle_new_file);
}

}  // namespace qm

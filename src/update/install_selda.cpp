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

constexpr member_rule family_rows[] = {
    {{"imx35_selda/uImage", nullptr}, match_kind::glob, image_uimage, true, 6, uimage_start, uimage_file_data,
     ignoring_file},
    {{"imx35_selda/u-boot.bin", nullptr}, match_kind::glob, image_uboot, true, 9, uboot_start, uboot_file_data,
     ignoring_file},
};
constexpr auto install_rules = install_rules_of(family_rows);

int bundle_new_file(void* opaque, untar_stream* stream, tar_header* header) {
    install_new_member(install_rules, state_of(opaque), stream, header);
    return 1;
}

}  // namespace

int unbundle_selda(const char* path, update_config* config, int* result) {
    return unbundle_with(path, config, result, selda::check_new_file, bundle_new_file);
}

}  // namespace qm

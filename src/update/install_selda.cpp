// The install pass of the MMC-boot family: boot loader and kernel into raw
// regions in front of the first partition of the internal MMC.
#include "sys/console.h"
#include "update/install_common.h"
#include "update/unbundle_selda.h"

namespace qm {

namespace {

constexpr const char* mmc = "/dev/mmcblk0";

int raw_start(unbundle_state& state, const char* name, long base) {
    err("INFO:Updating %s (%s %+ld)\n", name, mmc, base);
    return stage_raw_image(state, name, {mmc, base, nullptr});
}
int uimage_start(unbundle_state& state, const char* name) { return raw_start(state, name, selda::kernel_base); }
int uboot_start(unbundle_state& state, const char* name) { return raw_start(state, name, selda::bootloader_base); }

constexpr member_rule family_rows[] = {
    {{"imx35_selda/uImage", nullptr}, match_kind::glob, image_uimage, false, 6, uimage_start, staged_file_data,
     ignoring_file},
    {{"imx35_selda/u-boot.bin", nullptr}, match_kind::glob, image_uboot, false, 9, uboot_start, staged_file_data,
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

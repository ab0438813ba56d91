// The install pass of the NOR-boot family: kernel and boot loader into NOR
// flash partitions, each unlocked only while its image is written.
#include "sys/console.h"
#include "update/install_common.h"
#include "update/unbundle_orvik.h"

namespace qm {

namespace {

int uimage_start(unbundle_state& state, const char* name) {
    err("INFO:Updating %s\n", name);
    return stage_raw_image(state, name, {state.config->kernel_dev, 0, state.config->kernel_mtd});
}
int uboot_start(unbundle_state& state, const char* name) {
    err("INFO:Updating %s\n", name);
    return stage_raw_image(state, name, {state.config->bootloader_dev, 0, state.config->bootloader_mtd});
}

constexpr member_rule family_rows[] = {
    {{"imx35_selda/uImage", "uImage"}, match_kind::glob, image_uimage, false, 6, uimage_start, staged_file_data,
     ignoring_file},
    {{"imx31_orvik/u-boot.bin", "u-boot.bin"}, match_kind::glob, image_uboot, false, 9, uboot_start,
     staged_file_data, ignoring_file},
};
constexpr auto install_rules = install_rules_of(family_rows);

int bundle_new_file(void* opaque, untar_stream* stream, tar_header* header) {
    install_new_member(install_rules, state_of(opaque), stream, header);
    return 1;
}

}  // namespace

int unbundle_orvik(const char* path, update_config* config, int* result) {
    return unbundle_with(path, config, result, orvik::check_new_file, bundle_new_file);
}

}  // namespace qm

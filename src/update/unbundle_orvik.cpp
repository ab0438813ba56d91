#include "update/unbundle_orvik.h"

#include "sys/console.h"
#include "update/image_room.h"
#include "update/install_common.h"

namespace qm::orvik {

namespace {

[[nodiscard]] int uimage_start(unbundle_state& state, const char* name) {
    err("INFO:Updating %s\n", name);
    return stage_raw_image(state, name, {state.config->kernel_dev, 0, state.config->kernel_mtd});
}
[[nodiscard]] int uboot_start(unbundle_state& state, const char* name) {
    err("INFO:Updating %s\n", name);
    return stage_raw_image(state, name, {state.config->bootloader_dev, 0, state.config->bootloader_mtd});
}

// The kernel and the boot loader may sit at the top of the archive or carry
// a board folder; the kernel's folder is the MMC-boot family's.
constexpr member_rule signature_rows[] = {
    {{"imx31_orvik/u-boot.bin.sig", "u-boot.bin.sig"}, match_kind::glob, image_uboot, false, 0, nullptr,
     signature_check_file_data, nullptr},
    {{"imx35_selda/uImage.sig", "uImage.sig"}, match_kind::glob, image_uimage, false, 0, nullptr,
     signature_check_file_data, nullptr},
};
constexpr member_rule image_check_rows[] = {
    {{"imx35_selda/uImage", "uImage"}, match_kind::glob, image_uimage, true, 2, nullptr, image_check_file_data,
     nullptr},
    {{"imx31_orvik/u-boot.bin", "u-boot.bin"}, match_kind::glob, image_uboot, true, 3, nullptr,
     image_check_file_data, nullptr},
};
constexpr member_rule install_rows[] = {
    {{"imx35_selda/uImage", "uImage"}, match_kind::glob, image_uimage, false, 6, uimage_start, staged_file_data,
     print_ignored_file},
    {{"imx31_orvik/u-boot.bin", "u-boot.bin"}, match_kind::glob, image_uboot, false, 9, uboot_start,
     staged_file_data, print_ignored_file},
};

constexpr auto signature_rules = rules_of(signature_rows, shared_signature_rows);
constexpr auto image_check_rules = rules_of(image_check_rows, shared_image_check_rows);
constexpr auto install_rules = rules_of(install_rows, shared_install_rows);

}  // namespace

constexpr check_rules check_pass_rules{signature_rules, image_check_rules, image_room};
constexpr std::span<const member_rule> install_pass_rules = install_rules;

// The partitions are the board's; a host tool cannot know them.
uint64_t image_room(int image_type, const update_config* config) {
    switch (image_type) {
        case image_uimage: return config != nullptr ? nor_partition_room(config->kernel_mtd) : 0;
        case image_uboot: return config != nullptr ? nor_partition_room(config->bootloader_mtd) : 0;
        default: return shared_image_room(image_type, config);
    }
}

int check_new_file(void* opaque, untar_stream* stream, tar_header* header) {
    check_new_member(check_pass_rules, state_of(opaque), stream, header);
    return 1;
}

}  // namespace qm::orvik

namespace qm {

int unbundle_orvik(const char* path, update_config* config, int* result) {
    return unbundle_with(path, config, result, orvik::check_new_file, orvik::install_pass_rules);
}

}  // namespace qm

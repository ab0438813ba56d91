#include "update/unbundle_selda.h"

#include "sys/console.h"
#include "update/image_room.h"
#include "update/install_common.h"

namespace qm::selda {

namespace {

constexpr const char* mmc = "/dev/mmcblk0";

[[nodiscard]] int raw_start(unbundle_state& state, const char* name, long base) {
    err("INFO:Updating %s (%s %+ld)\n", name, mmc, base);
    return stage_raw_image(state, name, {mmc, base, nullptr});
}
[[nodiscard]] int uimage_start(unbundle_state& state, const char* name) {
    return raw_start(state, name, kernel_base);
}
[[nodiscard]] int uboot_start(unbundle_state& state, const char* name) {
    return raw_start(state, name, bootloader_base);
}

// The kernel and the boot loader sit in the board's folder.
constexpr member_rule signature_rows[] = {
    {{"imx35_selda/u-boot.bin.sig", nullptr}, match_kind::glob, image_uboot, false, 0, nullptr,
     signature_check_file_data, nullptr},
    {{"imx35_selda/uImage.sig", nullptr}, match_kind::glob, image_uimage, false, 0, nullptr,
     signature_check_file_data, nullptr},
};
constexpr member_rule image_check_rows[] = {
    {{"imx35_selda/uImage", nullptr}, match_kind::glob, image_uimage, true, 2, nullptr, image_check_file_data,
     nullptr},
    {{"imx35_selda/u-boot.bin", nullptr}, match_kind::glob, image_uboot, true, 3, nullptr, image_check_file_data,
     nullptr},
};
constexpr member_rule install_rows[] = {
    {{"imx35_selda/uImage", nullptr}, match_kind::glob, image_uimage, false, 6, uimage_start, staged_file_data,
     print_ignored_file},
    {{"imx35_selda/u-boot.bin", nullptr}, match_kind::glob, image_uboot, false, 9, uboot_start, staged_file_data,
     print_ignored_file},
};

constexpr auto signature_rules = rules_of(signature_rows, shared_signature_rows);
constexpr auto image_check_rules = rules_of(image_check_rows, shared_image_check_rows);
constexpr auto install_rules = rules_of(install_rows, shared_install_rows);

}  // namespace

constexpr check_rules check_pass_rules{signature_rules, image_check_rules, image_room};
constexpr std::span<const member_rule> install_pass_rules = install_rules;

uint64_t image_room(int image_type, const update_config* config) {
    switch (image_type) {
        case image_uimage: return kernel_limit;
        case image_uboot: return bootloader_limit;
        default: return shared_image_room(image_type, config);
    }
}

int check_new_file(void* opaque, untar_stream* stream, tar_header* header) {
    check_new_member(check_pass_rules, state_of(opaque), stream, header);
    return 1;
}

}  // namespace qm::selda

namespace qm {

int unbundle_selda(const char* path, update_config* config, int* result) {
    return unbundle_with(path, config, result, selda::check_new_file, selda::install_pass_rules);
}

}  // namespace qm

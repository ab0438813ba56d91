#include "update/unbundle_orvik.h"

#include "update/image_room.h"

namespace qm::orvik {

// The kernel and boot loader may sit at the top of the archive or carry a
// board folder; the kernel's folder is the MMC-boot family's.
const member_rule check_signature_rules[5] = {
    {{"rootfs.img.gz.sig", nullptr}, match_kind::exact, image_rootfs, false, 0, nullptr, rootfs_sig_file_data, nullptr},
    {{"imx31_orvik/u-boot.bin.sig", "u-boot.bin.sig"}, match_kind::glob, image_uboot, false, 0, nullptr, uboot_sig_file_data, nullptr},
    {{"imx35_selda/uImage.sig", "uImage.sig"}, match_kind::glob, image_uimage, false, 0, nullptr, uimage_sig_file_data, nullptr},
    {{"diagsfs.img.sig", nullptr}, match_kind::exact, image_diagsfs, false, 0, nullptr, diagsfs_sig_file_data, nullptr},
    {{nullptr, nullptr}, match_kind::glob, image_none, false, 0, announce_ignored_signature, ignore_file_data, nullptr},
};

const member_rule check_image_rules[6] = {
    {{"update*.dat", nullptr}, match_kind::glob, image_none, false, 0, announce_ignored_file, updatedat_file_data, nullptr},
    {{"rootfs*.img.gz", nullptr}, match_kind::glob, image_rootfs, true, 20, nullptr, rootfs_check_file_data, nullptr},
    {{"imx35_selda/uImage", "uImage"}, match_kind::glob, image_uimage, true, 2, nullptr, uimage_check_file_data, nullptr},
    {{"imx31_orvik/u-boot.bin", "u-boot.bin"}, match_kind::glob, image_uboot, true, 3, nullptr, uboot_check_file_data, nullptr},
    {{"diagsfs*.img", nullptr}, match_kind::glob, image_diagsfs, true, 0, nullptr, diagsfs_check_file_data, nullptr},
    {{nullptr, nullptr}, match_kind::glob, image_none, false, 0, nullptr, generic_check_file_data, nullptr},
};

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

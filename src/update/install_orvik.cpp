// The install pass of the NOR-boot family: kernel and boot loader into NOR
// flash partitions, each unlocked only while its member is written.
#include <fcntl.h>

#include <cerrno>

#include "storage/mtd.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "update/install_common.h"
#include "update/unbundle_orvik.h"

namespace qm {

namespace {

int mtd_file_start(unbundle_state& state, const char* name, const char* mtd, const char* dev) {
    err("INFO:Updating %s\n", name);
    if (flash_unlock(mtd)) {
        state.fd = sys::kernel().open(dev, O_WRONLY | O_SYNC);
        if (state.fd >= 0) return 1;
        report_errno(dev, errno);
    }
    err("ERROR:Cannot write %s to NOR flash at %s\n", name, mtd);
    flash_lock(mtd);
    err("INFO:Skipping %s update\n", name);
    return 0;
}

void mtd_file_copy(untar_stream* stream, unbundle_state& state, tar_header* header, const char* mtd, const char* dev,
                   uint64_t offset, uint32_t length, const uint8_t* bytes, int image_type) {
    hash_update(state, bytes, length);
    if (!install_write(state, stream, header, offset, bytes, length, dev)) {
        flash_lock(mtd);
        return;
    }
    if (!member_complete(header, offset, length)) return;
    if (installed_member_verified(state, header, image_type)) {
        finish_file_data_helper(state, header);
    } else {
        untar_set_file_data(stream, ignore_file_data);
        sys::kernel().close(state.fd);
        state.fd = -1;
    }
    flash_lock(mtd);
}

int uimage_start(unbundle_state& state, const char* name) {
    return mtd_file_start(state, name, state.config->kernel_mtd, state.config->kernel_dev);
}
int uboot_start(unbundle_state& state, const char* name) {
    return mtd_file_start(state, name, state.config->bootloader_mtd, state.config->bootloader_dev);
}

int uimage_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                     const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    mtd_file_copy(stream, state, header, state.config->kernel_mtd, state.config->kernel_dev, offset, length, bytes,
                  image_uimage);
    return 1;
}

int uboot_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                    const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    mtd_file_copy(stream, state, header, state.config->bootloader_mtd, state.config->bootloader_dev, offset, length,
                  bytes, image_uboot);
    return 1;
}

constexpr member_rule family_rows[] = {
    {{"imx35_selda/uImage", "uImage"}, match_kind::glob, image_uimage, true, 6, uimage_start, uimage_file_data,
     ignoring_file},
    {{"imx31_orvik/u-boot.bin", "u-boot.bin"}, match_kind::glob, image_uboot, true, 9, uboot_start,
     uboot_file_data, ignoring_file},
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

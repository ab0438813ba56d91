// Finding and installing the update bundle of the user store.
#pragma once

#include <cstdint>

namespace qm {

struct image_check;

// Where an update writes, built by update_os for each bundle and read by the
// install handlers.
struct update_config {
    const char* kernel_dev;
    const char* kernel_mtd;
    const char* rootfs_dev;
    const char* bootloader_dev;
    const char* bootloader_mtd;
    uint32_t image_flags;
    // Called once the bundle is authorised and before its first byte is
    // written, with the image_type_count records of what was verified; when
    // it gives 0 nothing is installed. May be null.
    int (*before_install)(void* context, const char* path, const image_check* verified);
    void* before_install_context;
    // Set by the install pass: bit (1 << image type) for each image whose
    // destination it began to write, whatever came of it.
    uint32_t written_images = 0;
};

// Result codes of unbundle, stored through its result pointer.
inline constexpr int unbundle_installed = 0;
// Verified, but every install attempt failed (a destination could not be
// opened or written, or the bundle changed while it was installed).
inline constexpr int unbundle_install_failed = 2;
// The bundle's content failed the check pass or the verdict: it is bad.
inline constexpr int unbundle_refused = 4;
// Reading the bundle file itself failed: the bundle may well be sound.
inline constexpr int unbundle_unreadable = 5;
// Authorised, but an image cannot be installed whole whatever is tried
// again: its compressed data is damaged or it does not fit once inflated.
// Part of it may have been written.
inline constexpr int unbundle_damaged = 6;

// Result codes of update_os, stored through its result pointer; a failed
// update shows its code on the screen, so the values must not change.
// Nothing to report: installed, or no bundle found.
inline constexpr int update_ok = 0;
// The battery gauge could not be read, so the charge is unknown.
inline constexpr int update_no_gauge = 2;
// The bundle could not be verified or installed (or its install journal
// could not be written).
inline constexpr int update_failed = 3;
// More than one "update*.bin" on the user store.
inline constexpr int update_too_many_bundles = 8;
// The battery charge is below what an update needs.
inline constexpr int update_battery_low = 9;
// The update did not finish in the number of boots its install journal
// allows, and had written nothing (or the system is whole again): the
// bundle is given up and the boot goes on.
inline constexpr int update_given_up = 10;
// An update that had begun writing cannot finish at this boot, and the
// system on the device is not whole: the reader must not be handed over.
// The caller holds it in recovery (update_os returns -1).
inline constexpr int update_held = 11;

// Stores code through a result pointer that may be null.
inline void set_result(int* result, int code) {
    if (result != nullptr) *result = code;
}

// Number of files of dir matching "update*.bin" (each reported); 0 when
// the directory cannot be read. Folders so named are no bundles.
[[nodiscard]] int has_multiple_updates(const char* dir);

// Installs the one bundle of /mnt-us/ (mounted by the caller). 1 installed,
// 0 nothing installed and the system on the device whole (no bundle,
// refused, given up after too many boots, the install journal could not be
// written, or only diagnostics mode could not be switched off), -1 the
// bundle failed or the system is not whole (result update_held); the
// screen code goes to *result when result is not null. The install journal
// on the user store lets an update that a power cut or a failure interrupted
// run again at the next boots, counting only boots that tried, and
// remembers an update that began writing until the system is whole again.
[[nodiscard]] int update_os(int* result, int skip_battery_check);

// Starts the panel for the update's screens and codes, unless it is up or a
// start of it hung at this boot or an earlier one of the same update. The
// start ends after 15 seconds, failed, rather than restarting the reader.
// 1 when the panel is up.
[[nodiscard]] int update_panel_start();
// Forgets that a start of the panel hung at this boot.
void update_state_reset();

// Hands the bundle to the unbundler of the board's family; 1 installed.
[[nodiscard]] int unbundle(const char* path, update_config* config, int* result);

}  // namespace qm

// Checks of stored kernel and boot-loader images: a kernel in the legacy
// uImage format (64-byte big-endian header with header and data CRCs), or a
// boot loader carrying our descriptor at byte 32 (length, CRC, "BMGK").
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qm {

// Process-wide settings for all later checks. quiet silences every verdict,
// diagnostic and error line (except "short file") and forces verbose to 0;
// filename puts "<path>:" before each verdict and diagnostic line.
void ckimage_configure(int verbose, int filename, int quiet);
// Back to the settings at start-up: no extra output.
void ckimage_state_reset();

// Opens path read-only and checks it; 1 when it holds an intact uImage or
// boot-loader image, else 0. label names the object in the verdict line.
[[nodiscard]] int check_object(const char* path, const char* label);

// The check proper on an open descriptor positioned at the object's start;
// the descriptor stays open. path is used in error lines, label (may be null)
// in the verdict line. 1 intact, 0 not.
[[nodiscard]] int check_object_file(int fd, const char* path, const char* label);

// A verdict or diagnostic line on the standard error stream, with the path
// in front when the file-name setting is on; nothing when quiet.
void report_status(const char* path, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Boot-loader descriptor layout, counted from the start of the image.
inline constexpr size_t bootloader_descriptor_at = 32;
inline constexpr size_t bootloader_name_size = 48;
inline constexpr size_t bootloader_descriptor_end = 92;

// Writes a valid descriptor into a whole boot-loader image held in memory:
// length = image size, magic "BMGK", the name when one is given (else the
// name bytes stay as they are) and the CRC. 0 without a change when the
// image is shorter than the descriptor's end or longer than 4 GiB - 1, or
// the name is longer than 48 characters; else 1.
[[nodiscard]] int ckimage_seal_bootloader(std::span<uint8_t> image, const char* name);

}  // namespace qm

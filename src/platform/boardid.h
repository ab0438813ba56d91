// Board identity: read once at start-up from /proc, then answered by the
// predicates every family- or board-dependent step branches on.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

// Bytes at the start of the internal MMC reserved before the first
// partition: 0x3C1000 on the MMC-boot (selda) family, 0x400 otherwise, 0
// before boardid_init.
extern int64_t g_offset_mmc;

// Reads /proc/board_id and then /proc/usid; 1 when both were read. Discards
// a text holding a non-printable character and sets g_offset_mmc.
[[nodiscard]] int boardid_init();

[[nodiscard]] const char* boardid_get();       // never null; empty when unknown
[[nodiscard]] const char* serialnumber_get();  // never null; empty when unknown

[[nodiscard]] int is_orvik();
[[nodiscard]] int is_tova();
[[nodiscard]] int is_tova_world_wide();
[[nodiscard]] int is_morvek();
[[nodiscard]] int is_morvek_world_wide();
[[nodiscard]] int is_selda();
[[nodiscard]] int is_pellan();
[[nodiscard]] int is_tova_family();
[[nodiscard]] int is_morvek_family();
[[nodiscard]] int is_orvik_platform();  // NOR-boot family
[[nodiscard]] int is_selda_platform();  // MMC-boot family
[[nodiscard]] int is_devboard();

// Reads at most size - 1 bytes of a short text file with one read, drops a
// final line feed (unless it is the only byte). 1 on success.
[[nodiscard]] int get_string_from_file(const char* path, char* buffer, size_t size);

// 1 when every character lies in 0x20..0x7E (an empty text passes).
[[nodiscard]] int check_string(const char* text);

// Forgets what boardid_init read, as before start-up. For tests.
void boardid_reset();

}  // namespace qm

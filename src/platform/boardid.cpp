#include "platform/boardid.h"

#include <fcntl.h>

#include <cerrno>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

int64_t g_offset_mmc = 0;

namespace {

// What boardid_init read; g_offset_mmc follows from it.
struct board_identity {
    char board_id[20];
    char serial_number[20];
};
board_identity board;

// The identifier's first character, taken in upper case.
int board_letter() {
    const auto c = static_cast<unsigned char>(board.board_id[0]);
    return (c >= 'a' && c <= 'z') ? (c & ~0x20) : c;
}

}  // namespace

int get_string_from_file(const char* path, char* buffer, size_t size) {
    if (size == 0) {
        err("ERROR:%s:destination too short\n", path);
        return 0;
    }
    sys::unique_fd fd(sys::kernel().open(path, O_RDONLY));
    if (!fd.valid()) {
        report_errno(path, errno);
        return 0;
    }
    const ssize_t n = sys::kernel().read(fd.get(), buffer, size - 1);
    if (n < 0) {
        const int error_number = errno;
        fd.reset();
        report_errno(path, error_number);
        buffer[0] = '\0';
        return 0;
    }
    buffer[n] = '\0';
    if (n > 1 && buffer[n - 1] == '\n') buffer[n - 1] = '\0';
    return 1;
}

int check_string(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c > 0x7e) return 0;
    }
    return 1;
}

int boardid_init() {
    board.board_id[0] = '\0';
    board.serial_number[0] = '\0';
    int result = 0;
    if (get_string_from_file("/proc/board_id", board.board_id, sizeof board.board_id))
        result = get_string_from_file("/proc/usid", board.serial_number, sizeof board.serial_number);
    if (!check_string(board.board_id)) board.board_id[0] = '\0';
    if (!check_string(board.serial_number)) board.serial_number[0] = '\0';
    g_offset_mmc = is_selda_platform() ? 0x3C1000 : 0x400;
    return result;
}

void boardid_reset() {
    board = {};
    g_offset_mmc = 0;
}

const char* boardid_get() { return board.board_id; }
const char* serialnumber_get() { return board.serial_number; }

int is_orvik() { return board_letter() == 'D'; }
int is_tova() { return board_letter() == 'F'; }
int is_tova_world_wide() { return board_letter() == 'G'; }
int is_morvek() { return board_letter() == 'H'; }
int is_morvek_world_wide() { return board_letter() == 'J'; }
int is_selda() { return board_letter() == 'K'; }
int is_pellan() { return board_letter() == 'P'; }
int is_tova_family() { return is_tova() || is_tova_world_wide(); }
int is_morvek_family() { return is_morvek() || is_morvek_world_wide(); }
int is_orvik_platform() {
    return is_orvik() || is_tova() || is_morvek() || is_morvek_world_wide() || is_tova_world_wide();
}
int is_selda_platform() { return is_selda() || is_pellan(); }
int is_devboard() { return is_orvik() || is_selda(); }

}  // namespace qm

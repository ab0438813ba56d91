#include "display/hexdump.h"

#include <cstdio>
#include <string>

#include "sys/console.h"

namespace qm {

namespace {

void print_line(hexdump_state* state) {
    std::string text;
    char piece[32];
    std::snprintf(piece, sizeof piece, "%07zx:", state->offset);
    text += piece;
    for (unsigned i = 0; i < 16; ++i) {
        if (i < state->count) {
            std::snprintf(piece, sizeof piece, "%s%02hhx", i % 2 == 0 ? " " : "", state->line[i]);
            text += piece;
        } else {
            // Blanks the width of the missing byte, so the text column
            // starts where it does on a full line.
            text += i % 2 == 0 ? "   " : "  ";
        }
    }
    text += "  ";
    for (unsigned i = 0; i < state->count; ++i) {
        const uint8_t c = state->line[i];
        text += c >= 0x20 && c <= 0x7e ? static_cast<char>(c) : '.';
    }
    text += "\n";
    write_all(state->fd, text);
    state->offset += state->count;
    state->count = 0;
}

}  // namespace

hexdump_state* hexdump_start(hexdump_state* state, size_t offset, int fd) {
    if (state == nullptr) return state;
    state->count = 0;
    state->offset = offset;
    state->fd = fd < 0 ? 1 : fd;
    return state;
}

void hexdump_data(hexdump_state* state, const void* bytes, size_t length) {
    if (state == nullptr || bytes == nullptr || state->fd < 0) return;
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < length; ++i) {
        state->line[state->count++] = p[i];
        if (state->count == 16) print_line(state);
    }
}

void hexdump_end(hexdump_state* state) {
    if (state == nullptr) return;
    if (state->fd >= 0 && state->count > 0) print_line(state);
    state->count = 0;
    state->fd = -1;
}

}  // namespace qm

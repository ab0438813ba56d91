// The tar parser fed the same bytes once whole and once in pieces of random
// sizes (empty pieces included): the members and data it reports must be
// consistent, and the same both ways when neither walk met a format error.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_device.h"
#include "update/untar.h"

namespace {

struct walk {
    std::vector<std::string> events;  // one per member and per run of data
    uint64_t expected_offset = 0;
    uint64_t member_size = 0;
};

int on_new_file(void* opaque, qm::untar_stream*, qm::tar_header* header) {
    walk& w = *static_cast<walk*>(opaque);
    if (::strnlen(header->name, sizeof header->name) == sizeof header->name) __builtin_trap();
    if (header->size > 0xFFFFFFFFULL) __builtin_trap();
    w.events.push_back("member " + std::string(header->name) + " " + std::to_string(header->size));
    w.expected_offset = 0;
    w.member_size = header->size;
    return 1;
}

int on_file_data(void* opaque, qm::untar_stream*, qm::tar_header* header, uint64_t offset, uint32_t length,
                 const uint8_t* data) {
    walk& w = *static_cast<walk*>(opaque);
    if (offset != w.expected_offset || offset + length > w.member_size || header->size != w.member_size)
        __builtin_trap();
    // Touch every byte so that ASan sees a pointer past the pushed piece.
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum = sum * 31 + data[i];
    w.expected_offset = offset + length;
    w.events.push_back("data " + std::to_string(offset) + " " + std::to_string(length) + " " +
                       std::to_string(sum));
    return 1;
}

struct result {
    walk w;
    bool failed = false;
    bool finished = false;
};

// Pushes bytes in pieces whose sizes come from seed (0: all at once).
result parse(const uint8_t* data, size_t size, uint32_t seed) {
    result r;
    qm::untar_stream* stream = qm::untar_stream_create("fuzz");
    qm::untar_set_opaque(stream, &r.w);
    qm::untar_set_new_file(stream, on_new_file);
    qm::untar_set_file_data(stream, on_file_data);
    size_t at = 0;
    // A reader stops at the end of the archive: what follows the end
    // blocks belongs to no member, however the bytes were cut.
    while (at < size && !qm::untar_finished(stream)) {
        size_t piece = size - at;
        if (seed != 0) {
            seed ^= seed << 13;
            seed ^= seed >> 17;
            seed ^= seed << 5;
            piece = std::min<size_t>(piece, seed % 1100);  // 0 to a few blocks
        }
        // Each piece in its own allocation, so a read past it is caught.
        std::vector<uint8_t> copy(data + at, data + at + piece);
        if (!qm::untar_stream_push(stream, static_cast<uint32_t>(piece), copy.data())) r.failed = true;
        at += piece;
    }
    r.finished = qm::untar_finished(stream) != 0;
    qm::untar_stream_finished(stream);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::next_input();
    if (size < 4) return 0;
    uint32_t seed = 0;
    std::memcpy(&seed, data, 4);
    seed |= 1;  // never the whole-piece mode
    const result whole = parse(data + 4, size - 4, 0);
    const result pieces = parse(data + 4, size - 4, seed);
    if (!whole.failed && !pieces.failed) {
        // Data runs may be cut differently; the members and their order may not.
        std::vector<std::string> a, b;
        for (const auto& e : whole.w.events) if (e.rfind("member", 0) == 0) a.push_back(e);
        for (const auto& e : pieces.w.events) if (e.rfind("member", 0) == 0) b.push_back(e);
        if (a != b || whole.finished != pieces.finished) __builtin_trap();
    }
    return 0;
}

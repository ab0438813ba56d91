// Proof, piece by piece, that what the install pass is about to write is
// the image the check pass verified.
//
// The check pass records the SHA-256 of every prefix of an image member
// that ends on a 128 KiB boundary, and of the whole member (the digest its
// signature covers). The install pass hashes the member again and hands a
// piece on only once the digest of the member up to that piece's end equals
// the recorded one; another piece with the same digest would be a SHA-256
// collision. So a bundle that changes between the passes, or while the
// install pass reads it, is caught before a byte of the changed piece is
// inflated or written, at no extra hashing in the check pass.
#pragma once

#include <mbedtls/sha256.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qm {

inline constexpr uint32_t image_piece_size = 131072;
inline constexpr size_t piece_digest_size = 32;

// Pieces of a member of size bytes; the last may be short.
[[nodiscard]] inline size_t pieces_of(uint64_t size) {
    return static_cast<size_t>((size + image_piece_size - 1) / image_piece_size);
}

// The digests the check pass recorded for one image member.
struct piece_record {
    std::unique_ptr<uint8_t[]> digests;  // count digests of piece_digest_size bytes
    size_t count = 0;
    size_t recorded = 0;
};

// Makes room for the digests of a member of size bytes, dropping any
// earlier ones; false when memory runs out.
[[nodiscard]] bool piece_record_reserve(piece_record& record, uint64_t size);

// Check pass: feeds a run of member data (at offset of a member of size
// bytes) to the running digest and records the digest of the member so far
// at each piece end the run reaches.
void piece_record_update(piece_record& record, mbedtls_sha256_context& running, uint64_t offset, uint64_t size,
                         const uint8_t* bytes, uint32_t length);

// Install pass: receives the bytes of one proven piece; false stops the
// member (the receiver has reported why).
using piece_sink = bool (*)(void* context, uint64_t offset, const uint8_t* bytes, uint32_t length);

enum class gate_result { passed, changed, no_memory, sink_failed };

// Install pass: the pieces of one member on their way to a destination.
// The running digest is the pass state's; the gate restarts it.
struct piece_gate {
    const piece_record* record = nullptr;
    uint64_t size = 0;
    size_t next_piece = 0;
    // The start of a piece that began in an earlier run, held until the
    // piece is whole and proven.
    std::unique_ptr<uint8_t[]> held;
    uint32_t held_length = 0;
};

void piece_gate_start(piece_gate& gate, mbedtls_sha256_context& running, const piece_record& record,
                      uint64_t size);

// Feeds a run of member data at offset; each piece that completes is
// compared with the record and, when equal, given to sink. Stops at the
// first piece that differs (changed) without giving it on.
[[nodiscard]] gate_result piece_gate_feed(piece_gate& gate, mbedtls_sha256_context& running, uint64_t offset,
                            const uint8_t* bytes, uint32_t length, piece_sink sink, void* context);

}  // namespace qm

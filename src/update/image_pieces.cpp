#include "update/image_pieces.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace qm {

namespace {

// The digest of everything fed to running so far, leaving running as it is.
void digest_so_far(const mbedtls_sha256_context& running, uint8_t* out) {
    mbedtls_sha256_context copy;
    mbedtls_sha256_init(&copy);
    mbedtls_sha256_clone(&copy, &running);
    mbedtls_sha256_finish_ret(&copy, out);
    mbedtls_sha256_free(&copy);
}

[[nodiscard]] uint64_t piece_end_after(uint64_t offset, uint64_t size) {
    return std::min<uint64_t>((offset / image_piece_size + 1) * image_piece_size, size);
}

}  // namespace

bool piece_record_reserve(piece_record& record, uint64_t size) {
    record = {};
    record.count = pieces_of(size);
    if (record.count == 0) return true;
    record.digests.reset(new (std::nothrow) uint8_t[record.count * piece_digest_size]);
    if (!record.digests) record.count = 0;
    return record.digests != nullptr;
}

void piece_record_update(piece_record& record, mbedtls_sha256_context& running, uint64_t offset, uint64_t size,
                         const uint8_t* bytes, uint32_t length) {
    while (length > 0) {
        const uint64_t piece_end = piece_end_after(offset, size);
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(length, piece_end - offset));
        mbedtls_sha256_update_ret(&running, bytes, take);
        offset += take;
        bytes += take;
        length -= take;
        if (offset == piece_end && record.recorded < record.count)
            digest_so_far(running, record.digests.get() + piece_digest_size * record.recorded++);
    }
}

void piece_gate_start(piece_gate& gate, mbedtls_sha256_context& running, const piece_record& record,
                      uint64_t size) {
    gate.record = &record;
    gate.size = size;
    gate.next_piece = 0;
    gate.held_length = 0;
    mbedtls_sha256_starts_ret(&running, 0);
}

gate_result piece_gate_feed(piece_gate& gate, mbedtls_sha256_context& running, uint64_t offset,
                            const uint8_t* bytes, uint32_t length, piece_sink sink, void* context) {
    while (length > 0) {
        const uint64_t piece_start = static_cast<uint64_t>(gate.next_piece) * image_piece_size;
        const uint64_t piece_end = std::min<uint64_t>(piece_start + image_piece_size, gate.size);
        // Runs come in order; anything else means the stream is not the one
        // the record describes.
        if (offset != piece_start + gate.held_length || offset >= piece_end) return gate_result::changed;
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(length, piece_end - offset));
        mbedtls_sha256_update_ret(&running, bytes, take);
        if (offset + take < piece_end) {
            if (!gate.held) gate.held.reset(new (std::nothrow) uint8_t[image_piece_size]);
            if (!gate.held) return gate_result::no_memory;
            std::memcpy(gate.held.get() + gate.held_length, bytes, take);
            gate.held_length += take;
            return gate_result::passed;
        }
        uint8_t digest[piece_digest_size];
        digest_so_far(running, digest);
        const piece_record& record = *gate.record;
        if (gate.next_piece >= record.recorded ||
            std::memcmp(digest, record.digests.get() + piece_digest_size * gate.next_piece, sizeof digest) != 0)
            return gate_result::changed;
        bool delivered = false;
        if (gate.held_length > 0) {
            std::memcpy(gate.held.get() + gate.held_length, bytes, take);
            delivered = sink(context, piece_start, gate.held.get(), gate.held_length + take);
            gate.held_length = 0;
        } else {
            delivered = sink(context, piece_start, bytes, take);
        }
        if (!delivered) return gate_result::sink_failed;
        ++gate.next_piece;
        offset += take;
        bytes += take;
        length -= take;
    }
    return gate_result::passed;
}

}  // namespace qm

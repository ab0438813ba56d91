// mbed TLS's SHA-256 interface for the reader's 32-bit ARM, computed by the
// block function of OpenSSL's libcrypto (its ARMv4 assembly). SHA-256 is
// a third of what an update costs the reader's processor, and mbed TLS's
// portable C spends about a third as many instructions again per byte.
//
// Only the ARM build links this file (cmake/sha256_arm.cmake): its objects
// go straight into every program, so the linker never takes mbed TLS's own
// SHA-256 module, and would stop with duplicate symbols if anything still
// needed it. The context keeps mbed TLS's layout, so every caller and the
// rest of mbed TLS (RSA, the message-digest layer) use it unchanged.
#include <mbedtls/platform_util.h>
#include <mbedtls/sha256.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" {

// Processes `blocks` consecutive 64-byte blocks into the eight state words.
void sha256_block_data_order(uint32_t* state, const void* data, size_t blocks);

// The armel library's block function is integer code for ARMv5TE only. A
// libcrypto built for later processors reads these capability bits to take
// its NEON or ARMv8 crypto-extension path instead; the reader's processor
// has neither, so they stay clear and the integer code runs, under an
// emulator too. Defining them here also keeps libcrypto's run-time
// processor probe out of the program.
unsigned int OPENSSL_armcap_P = 0;

}  // extern "C"

namespace {

constexpr size_t block_size = 64;

constexpr uint32_t sha256_start[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                      0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};
constexpr uint32_t sha224_start[8] = {0xC1059ED8, 0x367CD507, 0x3070DD17, 0xF70E5939,
                                      0xFFC00B31, 0x68581511, 0x64F98FA7, 0xBEFA4FA4};

uint64_t byte_count(const mbedtls_sha256_context* ctx) {
    return (uint64_t{ctx->total[1]} << 32) | ctx->total[0];
}

void put_be32(unsigned char* out, uint32_t v) {
    out[0] = static_cast<unsigned char>(v >> 24);
    out[1] = static_cast<unsigned char>(v >> 16);
    out[2] = static_cast<unsigned char>(v >> 8);
    out[3] = static_cast<unsigned char>(v);
}

}  // namespace

extern "C" {

void mbedtls_sha256_init(mbedtls_sha256_context* ctx) { std::memset(ctx, 0, sizeof *ctx); }

void mbedtls_sha256_free(mbedtls_sha256_context* ctx) {
    if (ctx != nullptr) mbedtls_platform_zeroize(ctx, sizeof *ctx);
}

void mbedtls_sha256_clone(mbedtls_sha256_context* dst, const mbedtls_sha256_context* src) { *dst = *src; }

int mbedtls_sha256_starts_ret(mbedtls_sha256_context* ctx, int is224) {
    ctx->total[0] = ctx->total[1] = 0;
    std::memcpy(ctx->state, is224 ? sha224_start : sha256_start, sizeof ctx->state);
    ctx->is224 = is224 ? 1 : 0;
    return 0;
}

int mbedtls_internal_sha256_process(mbedtls_sha256_context* ctx, const unsigned char data[64]) {
    sha256_block_data_order(ctx->state, data, 1);
    return 0;
}

int mbedtls_sha256_update_ret(mbedtls_sha256_context* ctx, const unsigned char* input, size_t ilen) {
    if (ilen == 0) return 0;
    const size_t held = static_cast<size_t>(ctx->total[0] % block_size);
    const uint64_t total = byte_count(ctx) + ilen;
    ctx->total[0] = static_cast<uint32_t>(total);
    ctx->total[1] = static_cast<uint32_t>(total >> 32);

    if (held != 0) {
        const size_t take = block_size - held;
        if (ilen < take) {
            std::memcpy(ctx->buffer + held, input, ilen);
            return 0;
        }
        std::memcpy(ctx->buffer + held, input, take);
        sha256_block_data_order(ctx->state, ctx->buffer, 1);
        input += take;
        ilen -= take;
    }
    // Whole blocks straight from the caller's bytes, in one call.
    if (const size_t blocks = ilen / block_size; blocks != 0) {
        sha256_block_data_order(ctx->state, input, blocks);
        input += blocks * block_size;
        ilen -= blocks * block_size;
    }
    if (ilen != 0) std::memcpy(ctx->buffer, input, ilen);
    return 0;
}

int mbedtls_sha256_finish_ret(mbedtls_sha256_context* ctx, unsigned char output[32]) {
    const uint64_t bits = byte_count(ctx) * 8;
    size_t used = static_cast<size_t>(ctx->total[0] % block_size);
    ctx->buffer[used++] = 0x80;
    if (used > block_size - 8) {
        std::memset(ctx->buffer + used, 0, block_size - used);
        sha256_block_data_order(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    std::memset(ctx->buffer + used, 0, block_size - 8 - used);
    put_be32(ctx->buffer + 56, static_cast<uint32_t>(bits >> 32));
    put_be32(ctx->buffer + 60, static_cast<uint32_t>(bits));
    sha256_block_data_order(ctx->state, ctx->buffer, 1);

    const int words = ctx->is224 ? 7 : 8;
    for (int i = 0; i < words; ++i) put_be32(output + 4 * i, ctx->state[i]);
    return 0;
}

int mbedtls_sha256_ret(const unsigned char* input, size_t ilen, unsigned char output[32], int is224) {
    mbedtls_sha256_context ctx;
    mbedtls_sha256_init(&ctx);
    mbedtls_sha256_starts_ret(&ctx, is224);
    mbedtls_sha256_update_ret(&ctx, input, ilen);
    mbedtls_sha256_finish_ret(&ctx, output);
    mbedtls_sha256_free(&ctx);
    return 0;
}

}  // extern "C"

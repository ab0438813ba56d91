// The SHA-256 the program links: mbed TLS's own code, or on the reader's
// ARM build libcrypto's block function behind mbed TLS's interface. Both
// must give the standard digests however the bytes are split into updates.
#include <gtest/gtest.h>

#include <mbedtls/sha256.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

std::string hex(const unsigned char* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// The digest of data fed in pieces of the given sizes, cycling, by a
// context cloned from another halfway through.
std::string digest_in_pieces(const std::vector<uint8_t>& data, const std::vector<size_t>& pieces,
                             bool is224 = false) {
    mbedtls_sha256_context first, second;
    mbedtls_sha256_init(&first);
    mbedtls_sha256_init(&second);
    mbedtls_sha256_starts_ret(&first, is224);
    mbedtls_sha256_context* ctx = &first;
    size_t at = 0;
    for (size_t i = 0; at < data.size(); ++i) {
        const size_t n = std::min(pieces[i % pieces.size()], data.size() - at);
        mbedtls_sha256_update_ret(ctx, data.data() + at, n);
        at += n;
        if (ctx == &first && at >= data.size() / 2) {
            mbedtls_sha256_clone(&second, &first);
            mbedtls_sha256_free(&first);
            ctx = &second;
        }
    }
    unsigned char out[32];
    mbedtls_sha256_finish_ret(ctx, out);
    mbedtls_sha256_free(&first);
    mbedtls_sha256_free(&second);
    return hex(out, is224 ? 28 : 32);
}

std::vector<uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
    return data;
}

struct Vector {
    const char* name;
    std::vector<uint8_t> data;
    bool is224;
    const char* digest;
};

TEST(Sha256, StandardDigestsWhateverTheSplit) {
    const Vector vectors[] = {
        {"empty", {}, false, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", bytes("abc"), false, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first padding block.
        {"two_blocks", bytes("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"), false,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"pattern_1000", pattern(1000), false, "533b698850849b7908b20a22658f639c0b2a476f1791f85f50188287c31a9aba"},
        {"sha224_abc", bytes("abc"), true, "23097d223405d8228642a477bda255b32aadbce4bda0b3f7e36c9da7"},
        {"sha224_pattern_1000", pattern(1000), true, "ab145b330355b6c708082c2e68b977f1a7ec493dbf7e72cb8f6ff542"},
    };
    // Whole, byte by byte, and pieces that end inside, at and just past a
    // 64-byte block, including several blocks at once.
    const std::vector<std::vector<size_t>> splits = {{1u << 20}, {1}, {7}, {63}, {64}, {65}, {1, 127, 200, 64}};
    for (const Vector& v : vectors) {
        for (const auto& pieces : splits)
            EXPECT_EQ(digest_in_pieces(v.data, pieces, v.is224), v.digest)
                << v.name << ", first piece " << pieces[0];
        unsigned char out[32];
        mbedtls_sha256_ret(v.data.data(), v.data.size(), out, v.is224);
        EXPECT_EQ(hex(out, v.is224 ? 28 : 32), v.digest) << v.name << ", one call";
    }
}

TEST(Sha256, OneMillionBytes) {
    const std::vector<uint8_t> a(1000000, 'a');
    EXPECT_EQ(digest_in_pieces(a, {131072}), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace

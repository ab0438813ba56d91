#include "kernels.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <mbedtls/md5.h>
#include <mbedtls/sha256.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "update/unbundle_common.h"

namespace bench {
namespace {

constexpr size_t in_block = qm::bundle_input_block;
constexpr size_t out_block = qm::bundle_output_block;

// Keeps a result the compiler could otherwise prove unused.
void keep(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

template <class Sink>
bool inflate_stream(const uint8_t* data, size_t size, std::vector<uint8_t>& out, Sink sink, bool checked) {
    z_stream z {};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return false;
    if (!checked && inflateValidate(&z, 0) != Z_OK) {
        inflateEnd(&z);
        return false;
    }
    int result = Z_OK;
    for (size_t at = 0; at < size && result != Z_STREAM_END; at += in_block) {
        z.next_in = const_cast<uint8_t*>(data + at);
        z.avail_in = static_cast<uInt>(std::min(in_block, size - at));
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            result = inflate(&z, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                inflateEnd(&z);
                return false;
            }
            sink(out.data(), out.size() - z.avail_out);
        } while (z.avail_out == 0 && result != Z_STREAM_END);
    }
    inflateEnd(&z);
    return result == Z_STREAM_END;
}

}  // namespace

bool load_parts(bundle_parts& parts) {
    const std::string file = read_file(parts.path);
    if (file.size() <= qm::bundle_header_size) return false;
    parts.payload.assign(file.begin() + qm::bundle_header_size, file.end());
    qm::payload_unscramble(parts.payload);
    std::vector<uint8_t> tar;
    std::vector<uint8_t> out(out_block);
    if (!inflate_stream(
            parts.payload.data(), parts.payload.size(), out,
            [&](const uint8_t* p, size_t n) { tar.insert(tar.end(), p, p + n); }, true))
        return false;
    // The image is the first member; its size is the octal field at 124.
    if (tar.size() < 512 || std::strcmp(reinterpret_cast<const char*>(tar.data()), "rootfs.img.gz") != 0) return false;
    const uint64_t size = std::strtoull(reinterpret_cast<const char*>(tar.data()) + 124, nullptr, 8);
    if (512 + size > tar.size()) return false;
    parts.member.assign(tar.begin() + 512, tar.begin() + 512 + static_cast<ptrdiff_t>(size));
    parts.image_size = 0;
    return inflate_stream(
        parts.member.data(), parts.member.size(), out, [&](const uint8_t*, size_t n) { parts.image_size += n; }, true);
}

bool kernel_inflate(const std::vector<uint8_t>& gz, bool checked) {
    std::vector<uint8_t> out(out_block);
    return inflate_stream(
        gz.data(), gz.size(), out, [](const uint8_t* b, size_t) { keep(b); }, checked);
}

void kernel_md5(const std::vector<uint8_t>& bytes) {
    uint8_t digest[16];
    mbedtls_md5_context c;
    mbedtls_md5_init(&c);
    mbedtls_md5_starts_ret(&c);
    for (size_t at = 0; at < bytes.size(); at += out_block)
        mbedtls_md5_update_ret(&c, bytes.data() + at, std::min(out_block, bytes.size() - at));
    mbedtls_md5_finish_ret(&c, digest);
    mbedtls_md5_free(&c);
    keep(digest);
}

void kernel_sha256(const std::vector<uint8_t>& bytes) {
    uint8_t digest[32];
    mbedtls_sha256_context c;
    mbedtls_sha256_init(&c);
    mbedtls_sha256_starts_ret(&c, 0);
    for (size_t at = 0; at < bytes.size(); at += out_block)
        mbedtls_sha256_update_ret(&c, bytes.data() + at, std::min(out_block, bytes.size() - at));
    mbedtls_sha256_finish_ret(&c, digest);
    mbedtls_sha256_free(&c);
    keep(digest);
}

bool kernel_write(const std::string& dest, uint64_t size) {
    std::vector<uint8_t> block(out_block, 0xA5);
    const int fd = ::open(dest.c_str(), O_WRONLY | O_SYNC);
    bool ok = fd >= 0;
    for (uint64_t at = 0; ok && at < size; at += out_block) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out_block, size - at));
        ok = ::write(fd, block.data(), n) == static_cast<ssize_t>(n);
    }
    if (fd >= 0) ::close(fd);
    return ok;
}

bool check_kernels(const bundle_parts& parts) {
    const bool ok = kernel_inflate(parts.payload);
    kernel_md5(parts.member);
    kernel_sha256(parts.member);
    return ok;
}

bool unbundle_kernels(const bundle_parts& parts, const std::string& dest) {
    bool ok = check_kernels(parts);
    ok = ok && kernel_inflate(parts.payload, false) && kernel_inflate(parts.member) &&
         kernel_write(dest, parts.image_size);
    kernel_sha256(parts.member);
    return ok;
}

}  // namespace bench

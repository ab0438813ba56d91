// The bare work of the two bundle passes, each piece alone over one bundle's
// data taken apart beforehand: zlib inflation, MD5, SHA-256 and the writes
// of the image. The benchmarks set the passes against it; nothing of the
// passes' own code (the archive walk, the proofs, the console) is in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// What the kernels work on, taken apart from one bundle once.
struct bundle_parts {
    std::string path;
    std::string label;             // e.g. 16MiB-random
    std::vector<uint8_t> payload;  // the gzip stream, unscrambled
    std::vector<uint8_t> member;   // rootfs.img.gz as it sits in the archive
    uint64_t image_size = 0;       // bytes of the inflated image
};

// Reads parts.path, a bundle whose first member is rootfs.img.gz. False if
// it is not one.
bool load_parts(bundle_parts& parts);

// Inflates a whole gzip stream as the passes do (128 KiB in, 512 KiB out).
// Unless checked, the trailer's CRC-32 is neither computed nor compared, as
// in the install pass's payload. False on a zlib error.
bool kernel_inflate(const std::vector<uint8_t>& gz, bool checked = true);
void kernel_md5(const std::vector<uint8_t>& bytes);
void kernel_sha256(const std::vector<uint8_t>& bytes);
// Synchronous 512 KiB writes of size bytes from the start of dest, which
// must exist.
bool kernel_write(const std::string& dest, uint64_t size);

// The check pass's bare work: the payload inflated, and both digests of
// the image the pass prints.
bool check_kernels(const bundle_parts& parts);
// The check pass's, then the install pass's: the payload inflated again
// (its trailer is the check pass's to check), the image inflated, proven to
// be the verified one (SHA-256; nothing compares an MD5 there) and written.
bool unbundle_kernels(const bundle_parts& parts, const std::string& dest);

}  // namespace bench

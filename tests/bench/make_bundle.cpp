// Makes the signed bundles the benchmarks walk, with the project's own
// bundle writer: one root file-system image of the asked size (random bytes,
// or data shaped like a root file system), gzip-compressed as rootfs.img.gz,
// its signature, and optionally a filler member the install pass ignores.
//
//   qm_bench_bundle OUT IMAGE_MIB random|rootfs [FILLER_MIB]
//
// Work files go beside OUT and are removed before it exits.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bundle_writer.h"

namespace {

// Small, fast and deterministic: the same arguments give the same bundle.
struct splitmix {
    uint64_t state;
    uint64_t next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
};

void random_block(splitmix& rng, uint8_t* block, size_t size) {
    for (size_t i = 0; i + 8 <= size; i += 8) {
        const uint64_t v = rng.next();
        for (int b = 0; b < 8; ++b) block[i + b] = static_cast<uint8_t>(v >> (8 * b));
    }
}

// A 4 KiB block of a root file system: empty blocks, text (scripts,
// configuration, documentation) and already dense data (executables,
// compressed files) in roughly the shares of a small embedded system.
void rootfs_block(splitmix& rng, uint8_t* block, size_t size) {
    static const char* const words[] = {"the ", "lib", "/usr/", "share", "config", "=", "\n", "  ", "if ",
                                        "then", "fi\n", "echo ", "0x", "init", "mount ", "-o ", "ro,",
                                        "#!/bin/sh\n", "ELF", "\0\0\0\0", "export ", "PATH", ":", "/bin"};
    const uint64_t pick = rng.next() % 100;
    if (pick < 30) {
        std::fill(block, block + size, 0);
    } else if (pick < 65) {
        size_t at = 0;
        while (at < size) {
            const char* w = words[rng.next() % (sizeof words / sizeof *words)];
            for (size_t i = 0; w[i] != '\0' && at < size; ++i) block[at++] = static_cast<uint8_t>(w[i]);
            if (w[0] == '\0' && at < size) block[at++] = 0;
        }
    } else if (pick < 80) {
        // Machine code: dense, but with repeats a compressor finds.
        random_block(rng, block, size / 2);
        std::copy(block, block + size / 2, block + size / 2);
        for (size_t i = 0; i < size; i += 16) block[i] = 0;
    } else {
        random_block(rng, block, size);
    }
}

bool write_image_gz(const std::string& path, uint64_t bytes, bool random, uint64_t seed) {
    // The image goes straight into its gzip file: only the compressed form
    // is a member of the bundle.
    gzFile out = gzopen(path.c_str(), random ? "wb1" : "wb6");
    if (out == nullptr) return false;
    splitmix rng{seed};
    std::vector<uint8_t> chunk(1 << 20);
    constexpr size_t block = 4096;
    bool ok = true;
    for (uint64_t done = 0; ok && done < bytes; done += chunk.size()) {
        for (size_t at = 0; at < chunk.size(); at += block)
            (random ? random_block : rootfs_block)(rng, chunk.data() + at, block);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - done));
        ok = gzwrite(out, chunk.data(), static_cast<unsigned>(n)) == static_cast<int>(n);
    }
    return gzclose(out) == Z_OK && ok;
}

bool write_random(const std::string& path, uint64_t bytes, uint64_t seed) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    splitmix rng{seed};
    std::vector<uint8_t> chunk(1 << 20);
    bool ok = true;
    for (uint64_t done = 0; ok && done < bytes; done += chunk.size()) {
        random_block(rng, chunk.data(), chunk.size());
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), bytes - done));
        ok = std::fwrite(chunk.data(), 1, n, out) == n;
    }
    return std::fclose(out) == 0 && ok;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "qm_bench_bundle: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: qm_bench_bundle OUT IMAGE_MIB random|rootfs [FILLER_MIB]\n");
        return 2;
    }
    const std::string out = argv[1];
    const uint64_t image_bytes = std::strtoull(argv[2], nullptr, 10) << 20;
    const std::string kind = argv[3];
    const uint64_t filler_bytes = argc == 5 ? std::strtoull(argv[4], nullptr, 10) << 20 : 0;
    if (kind != "random" && kind != "rootfs") return fail("kind is random or rootfs, not " + kind);

    const std::string image = out + ".rootfs.img.gz";
    const std::string filler = out + ".filler";
    std::string error;
    bool ok = write_image_gz(image, image_bytes, kind == "random", 1);
    if (!ok) error = "cannot write " + image;
    if (ok && filler_bytes > 0 && !(ok = write_random(filler, filler_bytes, 2))) error = "cannot write " + filler;

    bundle::signing_key key;
    if (ok) ok = key.load(QM_DEV_KEY1, error);
    bundle::bundle_file file;
    if (ok) ok = file.open(out, false, error);
    std::string digest;
    if (ok) ok = file.add_file("rootfs.img.gz", image, &digest, error);
    if (ok) {
        const std::string sig = key.sign_digest(digest);
        ok = !sig.empty() && file.add("rootfs.img.gz.sig", sig, error);
        if (sig.empty()) error = "signing failed";
    }
    if (ok && filler_bytes > 0) ok = file.add_file("extras/filler.bin", filler, nullptr, error);
    if (ok) ok = file.commit(error);
    std::remove(image.c_str());
    std::remove(filler.c_str());
    return ok ? 0 : fail(error);
}

// Throughput of the check and install passes over the bundles that
// scripts/bench makes, beside the bare cost of the same work in the same
// run: zlib inflation, MD5 and SHA-256, the writes of the image, and the
// plain tool pipeline a team would otherwise use. scripts/bench turns the
// times into ratios.
//
//   qm_bench [benchmark flags]          bundles from $QM_BENCH_DIR (*.bin)
//   qm_bench --once check|unbundle[-kernels] BUNDLE   one pass (or its kernels), with its
//                                                     peak resident growth
//
// The console lines of the passes go to the standard output and error:
// send them to /dev/null and the results to --benchmark_out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <mbedtls/md5.h>
#include <mbedtls/sha256.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#endif

#include "passes.h"
#include "sys/linux_kernel.h"
#include "update/unbundle_common.h"

namespace {

constexpr size_t in_block = qm::bundle_input_block;
constexpr size_t out_block = qm::bundle_output_block;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Inflates a whole gzip stream the way the pipeline does (input in blocks
// of in_size, output through one out_block buffer); each produced block goes
// to sink. False on a zlib error. Unless checked, the trailer's CRC-32 is
// neither computed nor compared, as in the install pass's payload.
template <class Sink>
bool inflate_stream(const uint8_t* data, size_t size, size_t in_size, std::vector<uint8_t>& out, Sink sink,
                    bool checked = true) {
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return false;
    if (!checked && inflateValidate(&z, 0) != Z_OK) {
        inflateEnd(&z);
        return false;
    }
    int result = Z_OK;
    for (size_t at = 0; at < size && result != Z_STREAM_END; at += in_size) {
        z.next_in = const_cast<uint8_t*>(data + at);
        z.avail_in = static_cast<uInt>(std::min(in_size, size - at));
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

// What the kernels work on, taken apart from one bundle once.
struct bundle_parts {
    std::string path;
    std::string label;          // e.g. 16MiB-random
    std::vector<uint8_t> payload;  // the gzip stream, unscrambled
    std::vector<uint8_t> member;   // rootfs.img.gz as it sits in the archive
    uint64_t image_size = 0;       // bytes of the inflated image
};

bool load_parts(bundle_parts& parts) {
    const std::string file = read_file(parts.path);
    if (file.size() <= qm::bundle_header_size) return false;
    parts.payload.assign(file.begin() + qm::bundle_header_size, file.end());
    qm::payload_unscramble(parts.payload);
    std::vector<uint8_t> tar;
    std::vector<uint8_t> out(out_block);
    if (!inflate_stream(parts.payload.data(), parts.payload.size(), in_block, out,
                        [&](const uint8_t* p, size_t n) { tar.insert(tar.end(), p, p + n); }))
        return false;
    // The image is the first member; its size is the octal field at 124.
    if (tar.size() < 512 || std::strcmp(reinterpret_cast<const char*>(tar.data()), "rootfs.img.gz") != 0)
        return false;
    const uint64_t size = std::strtoull(reinterpret_cast<const char*>(tar.data()) + 124, nullptr, 8);
    if (512 + size > tar.size()) return false;
    parts.member.assign(tar.begin() + 512, tar.begin() + 512 + static_cast<ptrdiff_t>(size));
    return inflate_stream(parts.member.data(), parts.member.size(), in_block, out,
                          [&](const uint8_t*, size_t n) { parts.image_size += n; });
}

std::string dest_path() {
    const char* dest = std::getenv("QM_BENCH_DEST");
    return dest != nullptr ? dest : "/dev/shm/qm-bench-rootfs.img";
}

// The bare kernels, each over one bundle's data.
bool kernel_inflate(const std::vector<uint8_t>& gz, bool checked = true) {
    std::vector<uint8_t> out(out_block);
    return inflate_stream(
        gz.data(), gz.size(), in_block, out, [](const uint8_t* b, size_t) { benchmark::DoNotOptimize(b); }, checked);
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
    benchmark::DoNotOptimize(digest);
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
    benchmark::DoNotOptimize(digest);
}

// The image written as the install pass writes it: synchronous writes of
// out_block bytes from the start of the destination.
bool kernel_write(uint64_t size) {
    std::vector<uint8_t> block(out_block, 0xA5);
    const int fd = ::open(dest_path().c_str(), O_WRONLY | O_SYNC);
    bool ok = fd >= 0;
    for (uint64_t at = 0; ok && at < size; at += out_block) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(out_block, size - at));
        ok = ::write(fd, block.data(), n) == static_cast<ssize_t>(n);
    }
    if (fd >= 0) ::close(fd);
    return ok;
}

void set_bytes(benchmark::State& state, uint64_t bytes) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void register_bundle(const bundle_parts& parts) {
    const auto iterations = parts.image_size > (64u << 20) ? 1 : 5;
    auto add = [&](const std::string& name, auto fn) {
        benchmark::RegisterBenchmark((name + "/" + parts.label).c_str(), fn)
            ->Iterations(iterations)
            ->Repetitions(3)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    const bundle_parts* p = &parts;

    add("check_pass", [p](benchmark::State& state) {
        for (auto _ : state)
            if (!bench::check_pass(p->path)) state.SkipWithError("check pass failed");
        set_bytes(state, p->image_size);
    });
    // The check pass and then the install pass: the install pass alone is
    // the difference from check_pass.
    add("unbundle", [p](benchmark::State& state) {
        const std::string dest = dest_path();
        for (auto _ : state)
            if (!bench::unbundle(p->path, dest)) state.SkipWithError("unbundle failed");
        set_bytes(state, p->image_size);
    });
    add("kernel_inflate_payload", [p](benchmark::State& state) {
        for (auto _ : state)
            if (!kernel_inflate(p->payload)) state.SkipWithError("inflate failed");
        set_bytes(state, p->image_size);
    });
    add("kernel_inflate_payload_unchecked", [p](benchmark::State& state) {
        for (auto _ : state)
            if (!kernel_inflate(p->payload, false)) state.SkipWithError("inflate failed");
        set_bytes(state, p->image_size);
    });
    add("kernel_inflate_member", [p](benchmark::State& state) {
        for (auto _ : state)
            if (!kernel_inflate(p->member)) state.SkipWithError("inflate failed");
        set_bytes(state, p->image_size);
    });
    add("kernel_md5", [p](benchmark::State& state) {
        for (auto _ : state) kernel_md5(p->member);
        set_bytes(state, p->image_size);
    });
    add("kernel_sha256", [p](benchmark::State& state) {
        for (auto _ : state) kernel_sha256(p->member);
        set_bytes(state, p->image_size);
    });
    add("kernel_write", [p](benchmark::State& state) {
        for (auto _ : state)
            if (!kernel_write(p->image_size)) state.SkipWithError("cannot write the destination");
        set_bytes(state, p->image_size);
    });
    // The same check with the tools a team would reach for; the unscrambling
    // filter is a one-line python3 program.
    add("tool_pipeline", [p](benchmark::State& state) {
        const std::string command =
            "bash -c \"set -o pipefail; python3 -c '"
            "import sys\n"
            "t = bytes((((b << 4) | (b >> 4)) & 255) ^ 0x5C for b in range(256))\n"
            "i, o = sys.stdin.buffer, sys.stdout.buffer\n"
            "i.read(131072)\n"
            "for c in iter(lambda: i.read(1 << 20), b\\\"\\\"): o.write(c.translate(t))' < " +
            p->path + " | gzip -dc | tar -xO | tee >(md5sum > /dev/null) | sha256sum > /dev/null\"";
        for (auto _ : state)
            if (std::system(command.c_str()) != 0) state.SkipWithError("tool pipeline failed");
        set_bytes(state, p->image_size);
    });
}

// Instruction counting under callgrind covers only the work measured.
void collect([[maybe_unused]] bool on) {
#if __has_include(<valgrind/callgrind.h>)
    CALLGRIND_TOGGLE_COLLECT;
#endif
}

long vm_hwm_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    sys::LinuxKernel linux_kernel;
    sys::install(linux_kernel);

    if (argc == 4 && std::strcmp(argv[1], "--once") == 0) {
        // One pass, or the kernels of one pass, alone: for profiling (under
        // callgrind with --collect-atstart=no only that work is counted) and
        // for the high-water mark of resident memory before and after it,
        // which is what the pass needed beyond the program itself.
        const std::string what = argv[2];
        const bool kernels = what.ends_with("-kernels");
        const std::string dest = dest_path();
        std::ofstream(dest, std::ios::binary | std::ios::app);
        bundle_parts parts;
        parts.path = argv[3];
        if (kernels && !load_parts(parts)) return 1;
        const long before = vm_hwm_kib();
        collect(true);
        bool ok = true;
        if (what == "check") {
            ok = bench::check_pass(parts.path);
        } else if (what == "unbundle") {
            ok = bench::unbundle(parts.path, dest);
        } else if (kernels) {
            ok = kernel_inflate(parts.payload);
            kernel_md5(parts.member);
            kernel_sha256(parts.member);
            if (what == "unbundle-kernels") {
                // Then the install pass's: the payload inflated (its trailer
                // is the check pass's to check) and the image inflated, the
                // image proven to be the verified one (SHA-256; nothing
                // compares an MD5 there) and written.
                ok = ok && kernel_inflate(parts.payload, false) && kernel_inflate(parts.member) &&
                     kernel_write(parts.image_size);
                kernel_sha256(parts.member);
            }
        } else {
            ok = false;
        }
        collect(false);
        const long after = vm_hwm_kib();
        std::filesystem::remove(dest);
        if (!ok) return 1;
        std::fprintf(stderr, "peak_kib: %ld\n", after - before);
        return 0;
    }

    benchmark::Initialize(&argc, argv);
    const char* dir = std::getenv("QM_BENCH_DIR");
    if (dir == nullptr) {
        std::fprintf(stderr, "qm_bench: set QM_BENCH_DIR to a folder of bundles (scripts/bench makes them)\n");
        return 2;
    }
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".bin") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    static std::vector<bundle_parts> all(paths.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        all[i].path = paths[i];
        all[i].label = std::filesystem::path(paths[i]).stem();
        if (!load_parts(all[i])) {
            std::fprintf(stderr, "qm_bench: %s is not a bundle with rootfs.img.gz first\n", paths[i].c_str());
            return 1;
        }
    }
    {
        // The destination of the install pass must exist: it is opened as a
        // partition is, without being created.
        std::ofstream(dest_path(), std::ios::binary | std::ios::app);
    }
    for (const auto& parts : all) register_bundle(parts);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove(dest_path());
    return 0;
}

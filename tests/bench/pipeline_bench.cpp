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

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#endif

#include "kernels.h"
#include "passes.h"
#include "sys/linux_kernel.h"

namespace {

using bench::bundle_parts;
using bench::kernel_inflate;
using bench::kernel_md5;
using bench::kernel_sha256;

std::string dest_path() {
    const char* dest = std::getenv("QM_BENCH_DEST");
    return dest != nullptr ? dest : "/dev/shm/qm-bench-rootfs.img";
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
            if (!bench::kernel_write(dest_path(), p->image_size)) state.SkipWithError("cannot write the destination");
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
        if (kernels && !bench::load_parts(parts)) return 1;
        const long before = vm_hwm_kib();
        collect(true);
        bool ok = true;
        if (what == "check") {
            ok = bench::check_pass(parts.path);
        } else if (what == "unbundle") {
            ok = bench::unbundle(parts.path, dest);
        } else if (what == "check-kernels") {
            ok = bench::check_kernels(parts);
        } else if (what == "unbundle-kernels") {
            ok = bench::unbundle_kernels(parts, dest);
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
        if (!bench::load_parts(all[i])) {
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

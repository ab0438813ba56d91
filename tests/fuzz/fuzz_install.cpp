// The first promise as a fuzzing oracle: the whole unbundle step (check
// pass, verdict, install attempts) of either family runs on a bundle built
// from the input, and every byte the storage changed must be a byte of an
// image that the harness signed, at its place in that image.
//
// The input is the plain structure of the bundle, not its compressed and
// scrambled bytes, so mutations reach the tar walk, the verdict and the
// install handlers. The harness compresses, scrambles and signs:
//
//   byte 0            bit 0: the NOR-boot family
//   then records      kind byte, then:
//     0 member        name length (1), name, data length (2, LE), data
//     1 signed image  as 0; the harness adds the signature member the
//                     family's rules pair with it (a root file system image
//                     is gzip-compressed first)
//     2 raw bytes     length (2, LE), bytes appended to the archive as they
//                     are (headers, end blocks, anything)
//     3 changed later offset (4, LE), length (1), bytes XORed into the
//                     archive the install passes read (the bundle changes
//                     after the check pass)
//     4 zero member   size (3, LE; below 600 KiB): a member "pad" of zeros,
//                     to reach the pipeline's block boundaries cheaply
//   the harness ends the archive with two zero blocks.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>
#include <string>
#include <vector>

#include "bundle_writer.h"
#include "sim/faults.h"
#include "support/small_reader.h"
#include "sys/kernel.h"
#include "update/install_common.h"
#include "update/unbundle_orvik.h"
#include "update/unbundle_selda.h"

namespace {

using test::family;

struct Input {
    const uint8_t* at;
    size_t left;
    bool take(size_t n, std::string& out) {
        if (left < n) return false;
        out.assign(reinterpret_cast<const char*>(at), n);
        at += n;
        left -= n;
        return true;
    }
    bool number(size_t bytes, uint32_t& value) {
        std::string raw;
        if (!take(bytes, raw)) return false;
        value = 0;
        for (size_t i = 0; i < bytes; ++i) value |= uint32_t{static_cast<uint8_t>(raw[i])} << (8 * i);
        return true;
    }
};

const bundle::signing_key& key() {
    static bundle::signing_key k;
    static const bool loaded = [] {
        std::string error;
        if (!k.load(QM_DEV_KEY1, error)) __builtin_trap();
        return true;
    }();
    (void)loaded;
    return k;
}

// What each member of a signed image may put on the storage: the image, or
// for a root file system the content of its gzip members, as far as they
// inflate cleanly.
std::string inflated_prefix(const std::string& gz) {
    std::string out;
    z_stream z{};
    if (inflateInit2(&z, 15 + 16) != Z_OK) return out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
    z.avail_in = static_cast<uInt>(gz.size());
    char buffer[65536];
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        const int status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
        if (status == Z_STREAM_END && z.avail_in > 0) {
            inflateReset(&z);
            continue;
        }
        if (status != Z_OK) break;
    }
    inflateEnd(&z);
    return out;
}

// The reader of a family, made the program's kernel for this input, with
// its clock moved on and its console dropped (a long run must neither look
// like a spinning program nor keep every line it ever printed).
test::SimDevice& reader(family f) {
    static test::SimDevice* readers[2] = {nullptr, nullptr};
    test::SimDevice*& device = readers[f == family::orvik];
    if (device == nullptr) {
        device = new test::SimDevice(test::small_reader_options(f));
        test::lay_out_small_map(*device);
    }
    sim::Kernel& kernel = device->kernel();
    sys::install(kernel);
    kernel.clock().advance_to(kernel.clock().now() + 1000);
    device->take_console();
    return *device;
}

// A file's bytes. The buffers of the two snapshots live as long as the
// process, so that taking them costs no fresh memory on every input.
struct Bytes {
    std::vector<char> buffer;
    size_t size = 0;
    const char* data() const { return buffer.data(); }
};
using Snapshot = std::map<std::string, Bytes>;

// Each storage file up to the end of its last region: the MMC in front of
// the user store, the NOR partitions, the temporary diagnostics image.
void take_snapshot(test::SimDevice& device, family f, Snapshot& files) {
    std::map<std::string, uint64_t> ends;
    for (const test::Region& r : test::regions_of(f))
        ends[r.file] = std::max(ends[r.file], r.size == UINT64_MAX ? UINT64_MAX : r.offset + r.size);
    for (const auto& [file, end] : ends) {
        Bytes& bytes = files[file];
        bytes.size = 0;
        const int fd = ::open(device.host(file).c_str(), O_RDONLY);
        if (fd < 0) continue;
        struct stat st {};
        ::fstat(fd, &st);
        bytes.size = std::min<uint64_t>(end, static_cast<uint64_t>(st.st_size));
        if (bytes.buffer.size() < bytes.size) bytes.buffer.resize(bytes.size);
        if (::pread(fd, bytes.buffer.data(), bytes.size, 0) != static_cast<ssize_t>(bytes.size)) __builtin_trap();
        ::close(fd);
    }
}

// Where a and b first differ within [from, to), or to.
uint64_t first_difference(const char* a, const char* b, uint64_t from, uint64_t to) {
    constexpr uint64_t step = 4096;
    uint64_t at = from;
    while (at < to && std::memcmp(a + at, b + at, std::min(step, to - at)) == 0) at += std::min(step, to - at);
    while (at < to && a[at] == b[at]) ++at;
    return at;
}

// Writes go from the start of a destination on: what it holds now must be
// a prefix of the image over the old bytes.
bool holds_prefix_of(const Bytes& old_bytes, const Bytes& new_bytes, uint64_t offset, uint64_t end,
                     const std::string& image) {
    const uint64_t image_end = std::min<uint64_t>(end, offset + image.size());
    // new[offset..image_end) against the image, shifted to the region.
    const char* shifted = image.data() - offset;
    const uint64_t written = first_difference(new_bytes.data(), shifted, offset, image_end);
    return first_difference(new_bytes.data(), old_bytes.data(), written, end) == end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const family f = (data[0] & 1) ? family::orvik : family::selda;
    const bundle::family writer_family = f == family::orvik ? bundle::family::orvik : bundle::family::selda;
    Input in{data + 1, size - 1};

    std::string archive;
    std::vector<std::pair<uint32_t, std::string>> changes;
    std::map<int, std::vector<std::string>> signed_images;  // what may reach each type's destination
    for (std::string kind; in.take(1, kind);) {
        std::string name, bytes;
        uint32_t length = 0;
        switch (static_cast<uint8_t>(kind[0]) % 5) {
            case 0:
            case 1: {
                if (!in.number(1, length) || !in.take(length % 101, name) || !in.number(2, length) ||
                    !in.take(length, bytes))
                    break;
                const int type = bundle::image_type_of(writer_family, name);
                if (kind[0] % 5 == 1 && type != qm::image_none) {
                    if (type == qm::image_rootfs) bytes = bundle::gzip(bytes, 1);
                    std::string warning;
                    const std::string sig_name = bundle::signature_name_for(writer_family, name, warning);
                    archive += bundle::tar_archive({{name, bytes}, {sig_name, key().sign(bytes)}}, false);
                    signed_images[type].push_back(type == qm::image_rootfs ? inflated_prefix(bytes) : bytes);
                } else {
                    archive += bundle::tar_archive({{name, bytes}}, false);
                }
                break;
            }
            case 2:
                if (in.number(2, length) && in.take(length, bytes)) archive += bytes;
                break;
            case 3: {
                uint32_t offset = 0;
                if (in.number(4, offset) && in.number(1, length) && in.take(length, bytes))
                    changes.emplace_back(offset, bytes);
                break;
            }
            case 4:
                // Up to a little more than one 512 KiB block of the pipeline.
                if (in.number(3, length)) {
                    length %= 600 << 10;
                    archive += bundle::tar_header_block("pad", length);
                    archive.append((length + 511) / 512 * 512, '\0');
                }
                break;
        }
    }
    archive += std::string(1024, '\0');
    std::string changed = archive;
    for (const auto& [offset, bytes] : changes)
        for (size_t i = 0; i < bytes.size() && offset + i < changed.size(); ++i) changed[offset + i] ^= bytes[i];

    test::SimDevice& device = reader(f);
    test::write_file(device.host("update.bin"), bundle::wrap_payload(bundle::gzip(archive, 1)));
    sim::Kernel& kernel = device.kernel();
    kernel.faults() = sim::Faults{};
    if (changed != archive) {
        test::write_file(device.host("changed.bin"), bundle::wrap_payload(bundle::gzip(changed, 1)));
        std::string error;
        kernel.faults().add(*sim::parse_fault("swap:/update.bin:" + device.host("changed.bin"), error));
    }
    // No temporary copy of a diagnostics image from an earlier input.
    (void)kernel.unlink("/diagsfs.img");  // absent when no earlier input left one
    static Snapshot before;
    take_snapshot(device, f, before);

    qm::update_config config{"/dev/mtdblock/1", "/dev/mtd/1", "/dev/mmcblk0p1", "/dev/mtdblock/0",
                             "/dev/mtd/0",      0,            nullptr,          nullptr};
    int result = 0;
    if (f == family::selda)
        (void)qm::unbundle_selda("/update.bin", &config, &result);
    else
        (void)qm::unbundle_orvik("/update.bin", &config, &result);

    // The oracle: each destination holds its old bytes with a prefix of one
    // image of its type that the harness signed written over their start.
    static Snapshot after;
    take_snapshot(device, f, after);
    for (const test::Region& r : test::regions_of(f)) {
        const Bytes& old_bytes = before.at(r.file);
        const Bytes& new_bytes = after.at(r.file);
        if (r.size == UINT64_MAX) {
            // The temporary diagnostics copy: absent, or a whole signed image.
            if (new_bytes.size == 0) continue;
            bool whole = false;
            for (const std::string& image : signed_images[r.type])
                whole = whole || (image.size() == new_bytes.size &&
                                  std::memcmp(image.data(), new_bytes.data(), image.size()) == 0);
            if (!whole) __builtin_trap();
            continue;
        }
        if (old_bytes.size != new_bytes.size || old_bytes.size < r.offset + r.size) __builtin_trap();
        const uint64_t end = r.offset + r.size;
        if (first_difference(old_bytes.data(), new_bytes.data(), r.offset, end) == end) continue;
        bool explained = false;
        for (const std::string& image : signed_images[r.type])
            explained = explained || holds_prefix_of(old_bytes, new_bytes, r.offset, end, image);
        if (!explained) {
            std::fprintf(stderr, "%s region of %s holds bytes of no signed image; console:\n%s\n",
                         qm::bundle_info_name(r.type), r.file.c_str(), device.console().c_str());
            __builtin_trap();
        }
    }
    // Nothing else of the MMC in front of the user store moved.
    const Bytes& mmc_before = before.at("mmc0.img");
    const Bytes& mmc_after = after.at("mmc0.img");
    uint64_t at = 0;
    for (const test::Region& r : test::regions_of(f)) {
        if (r.file != "mmc0.img") continue;
        if (first_difference(mmc_before.data(), mmc_after.data(), at, r.offset) != r.offset) __builtin_trap();
        at = r.offset + r.size;
    }
    // The NOR partitions are locked again whatever happened.
    if (f == family::orvik) {
        for (const char* partition : {"/dev/mtdblock/0", "/dev/mtdblock/1"}) {
            const int fd = kernel.open(partition, O_WRONLY | O_SYNC, 0);
            if (fd >= 0 && kernel.write(fd, "x", 1) >= 0) __builtin_trap();
            if (fd >= 0) kernel.close(fd);
        }
    }
    // The console's standard input stays open.
    if (kernel.fcntl_setfd(0, 0) != 0) __builtin_trap();
    return 0;
}

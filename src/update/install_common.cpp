#include "update/install_common.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "display/bar.h"
#include "display/eink.h"
#include "display/screens.h"
#include "storage/mtd.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/read_full.h"
#include "sys/unique_fd.h"
#include "update/image_room.h"

namespace qm {

namespace {

constexpr const char* diagsfs_temp = "/diagsfs.img";
constexpr size_t rootfs_output_block = 524288;
// Raw images go out in pieces of this size, each under a fresh watchdog
// alarm; a boot loader fits in one.
constexpr size_t raw_write_chunk = 262144;
constexpr size_t raw_compare_chunk = 65536;

void close_destination(unbundle_state& state) {
    if (state.fd >= 0) sys::kernel().close(state.fd);
    state.fd = -1;
}

// Drops the rest of a member after a failure already counted.
void abandon_member(unbundle_state& state, untar_stream* stream) {
    untar_set_file_data(stream, ignore_file_data);
    close_destination(state);
}

// A diagnostics image left behind by an earlier update that failed must
// never be installed as this bundle's.
void remove_diagsfs_temp() {
    if (sys::kernel().unlink(diagsfs_temp) != 0 && errno != ENOENT) report_errno(diagsfs_temp, errno);
}

void bundle_changed(unbundle_state& state, untar_stream* stream, const char* name) {
    clear_bar_text();
    err("EMERGENCY:\a*** %s differs from the image that was verified: the bundle changed while it was "
        "installed ***\n",
        name);
    ++state.errors;
    state.stop = true;
    abandon_member(state, stream);
}

// The member the check pass verified for this type, and no other: same
// name, same size, the first of its type in this walk.
[[nodiscard]] bool member_is_verified(unbundle_state& state, untar_stream* stream, tar_header* header, int type) {
    if (header->size == 0) {
        // The check pass called the type missing; there is nothing to write.
        print_ignored_file(state, header->name);
        untar_set_file_data(stream, ignore_file_data);
        return false;
    }
    const image_check& check = state.checks[type];
    install_plan* plan = state.plan;
    const bool verified = plan != nullptr && check.present && !check.too_large && check.size == header->size &&
                          std::strcmp(check.name, header->name) == 0 && !plan->seen[type];
    if (!verified) {
        bundle_changed(state, stream, header->name);
        return false;
    }
    plan->seen[type] = true;
    piece_gate_start(state.gate, state.sha256, check.pieces, header->size);
    return true;
}

// What a piece of a member goes on to.
struct member_sink {
    unbundle_state* state;
    untar_stream* stream;
    tar_header* header;
    uint8_t* buffer;  // room for inflated output, where the sink needs it
};

// A run of an image member through the gate; false when the member stops
// here (reported, counted, the rest of it ignored).
[[nodiscard]] bool pass_gate(member_sink& sink, uint64_t offset, uint32_t length, const uint8_t* bytes,
                             piece_sink deliver) {
    unbundle_state& state = *sink.state;
    switch (piece_gate_feed(state.gate, state.sha256, offset, bytes, length, deliver, &sink)) {
        case gate_result::passed: return true;
        case gate_result::changed: bundle_changed(state, sink.stream, sink.header->name); return false;
        case gate_result::no_memory:
            report_perror("malloc", ENOMEM);
            ++state.errors;
            abandon_member(state, sink.stream);
            return false;
        case gate_result::sink_failed: return false;
    }
    return false;
}

void finish_member(unbundle_state& state, tar_header* header, int type) {
    finish_file_data_helper(state, header);
    if (state.plan != nullptr) state.plan->completed[type] = true;
}

// The image's own bytes cannot be installed whole: no attempt can succeed.
void image_damaged(unbundle_state& state) {
    if (state.plan != nullptr) state.plan->damaged = true;
}

void rootfs_failed(unbundle_state& state, untar_stream* stream, tar_header* header) {
    clear_bar_text();
    err("%s:failed\n", header->name);
    err("EMERGENCY:\a*** Data may be corrupt and device may not reboot properly until this is resolved! ***\n");
    ++state.errors;
    abandon_member(state, stream);
}

// Writes inflated bytes of the root file system, each chunk under a fresh
// watchdog alarm: a large image that compresses well would otherwise write
// hundreds of megabytes inside one alarm.
[[nodiscard]] bool write_inflated(member_sink& sink, const uint8_t* bytes, size_t length) {
    unbundle_state& state = *sink.state;
    const char* device = state.config->rootfs_dev;
    if (state.room != 0 && state.written + length > state.room) {
        err("ERROR:%s:the image is larger than the %llu bytes of %s\n", sink.header->name,
            static_cast<unsigned long long>(state.room), device);
        image_damaged(state);
        rootfs_failed(state, sink.stream, sink.header);
        return false;
    }
    if (state.plan != nullptr) state.plan->written |= 1u << image_rootfs;
    size_t written = 0;
    while (written < length) {
        sys::kernel().alarm(30);
        const ssize_t n = sys::kernel().write(state.fd, bytes + written, length - written);
        if (n <= 0) {
            err("WARNING:Could not copy '%s' to '%s'\n", sink.header->name, device);
            rootfs_failed(state, sink.stream, sink.header);
            return false;
        }
        written += static_cast<size_t>(n);
    }
    state.written += length;
    return true;
}

// Inflates a proven piece of the compressed root file system onto its
// partition. The image may be several gzip members one after another, as
// gzip itself reads them; anything else after a member is an error.
[[nodiscard]] bool inflate_piece(void* context, uint64_t, const uint8_t* bytes, uint32_t length) {
    member_sink& sink = *static_cast<member_sink*>(context);
    unbundle_state& state = *sink.state;
    z_stream& z = state.zstream;
    z.next_in = const_cast<uint8_t*>(bytes);
    z.avail_in = length;
    for (;;) {
        if (state.zstream_ended) {
            if (z.avail_in == 0) return true;
            inflateReset(&z);
            state.zstream_ended = false;
        }
        z.next_out = sink.buffer;
        z.avail_out = rootfs_output_block;
        const int status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_BUF_ERROR && z.avail_in == 0 && z.avail_out == rootfs_output_block) return true;
        if (status != Z_OK && status != Z_STREAM_END) {
            err("%s:decompression error(%d) %s\n", sink.header->name, status, z.msg != nullptr ? z.msg : "");
            image_damaged(state);
            rootfs_failed(state, sink.stream, sink.header);
            return false;
        }
        if (!write_inflated(sink, sink.buffer, rootfs_output_block - z.avail_out)) return false;
        if (status == Z_STREAM_END) {
            state.zstream_ended = true;
            continue;
        }
        if (z.avail_in == 0 && z.avail_out != 0) return true;
    }
}

[[nodiscard]] bool write_piece(void* context, uint64_t offset, const uint8_t* bytes, uint32_t length) {
    member_sink& sink = *static_cast<member_sink*>(context);
    return install_write(*sink.state, sink.stream, sink.header, offset, bytes, length, diagsfs_temp);
}

// A bundle cut short since its check is found out only at the cut; by then
// a root file system streamed onto its partition would be neither the old
// one nor the new one. So the bundle must still hold every byte the check
// pass read before the first byte goes there.
[[nodiscard]] bool bundle_holds_what_was_checked(unbundle_state& state) {
    const install_plan* plan = state.plan;
    if (plan == nullptr) return false;
    struct stat status {};
    if (sys::kernel().fstat(plan->bundle, &status) != 0) {
        report_errno(plan->path, errno);
        return false;
    }
    if (status.st_size >= plan->checked_end) return true;
    err("ERROR:%s:holds %lld bytes, fewer than the %lld that were checked\n", plan->path,
        static_cast<long long>(status.st_size), static_cast<long long>(plan->checked_end));
    state.stop = true;
    return false;
}

[[nodiscard]] staged_image* current_stage(unbundle_state& state) {
    install_plan* plan = state.plan;
    if (plan == nullptr || plan->staged_count == 0) return nullptr;
    return &plan->staged[plan->staged_count - 1];
}

[[nodiscard]] bool hold_piece(void* context, uint64_t offset, const uint8_t* bytes, uint32_t length) {
    member_sink& sink = *static_cast<member_sink*>(context);
    staged_image& stage = *current_stage(*sink.state);
    std::memcpy(stage.bytes.get() + offset, bytes, length);
    stage.filled = offset + length;
    member_progress(*sink.state, sink.header, stage.filled);
    return true;
}

// --- raw images, once the walk is over ---------------------------------------

// True when the destination already holds exactly the image: a resumed
// update then leaves it alone instead of opening the window again.
[[nodiscard]] bool region_holds(const staged_image& stage) {
    auto& k = sys::kernel();
    const raw_destination& where = stage.destination;
    k.alarm(30);
    sys::unique_fd fd(k.open(where.device, O_RDONLY));
    if (!fd.valid() || k.lseek(fd.get(), where.offset, SEEK_SET) != where.offset) return false;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[raw_compare_chunk]);
    if (!buffer) return false;
    for (uint64_t at = 0; at < stage.size;) {
        k.alarm(30);
        const size_t want = static_cast<size_t>(std::min<uint64_t>(raw_compare_chunk, stage.size - at));
        if (sys::read_full(fd.get(), buffer.get(), want) != static_cast<ssize_t>(want)) return false;
        if (std::memcmp(buffer.get(), stage.bytes.get() + at, want) != 0) return false;
        at += want;
    }
    return true;
}

void staged_installed(const staged_image& stage) {
    clear_bar_text();
    progress_push(stage.weight);
    err("INFO:%s update successful\n", stage.name);
}

[[nodiscard]] bool write_region(const staged_image& stage, uint32_t& written) {
    auto& k = sys::kernel();
    const raw_destination& where = stage.destination;
    const int flags = O_WRONLY | O_SYNC | (where.mtd == nullptr ? O_CREAT : 0);
    k.alarm(30);
    sys::unique_fd fd(k.open(where.device, flags, 0666));
    if (!fd.valid() || (where.offset != 0 && k.lseek(fd.get(), where.offset, SEEK_SET) != where.offset)) {
        report_errno(where.device, errno);
        if (where.mtd != nullptr) err("ERROR:Cannot write %s to NOR flash at %s\n", stage.name, where.mtd);
        err("INFO:Skipping %s update\n", stage.name);
        return false;
    }
    written |= 1u << stage.type;
    for (uint64_t at = 0; at < stage.size;) {
        k.alarm(30);
        const size_t want = static_cast<size_t>(std::min<uint64_t>(raw_write_chunk, stage.size - at));
        const ssize_t n = k.write(fd.get(), stage.bytes.get() + at, want);
        if (n <= 0) {
            err("WARNING:Could not copy '%s' to '%s'\n", stage.name, where.device);
            clear_bar_text();
            err("EMERGENCY:\a*** %s may be corrupt and device may not reboot properly until this is resolved! ***\n",
                stage.name);
            return false;
        }
        at += static_cast<uint64_t>(n);
        image_progress(stage.name, at, stage.size, stage.weight);
    }
    return true;
}

[[nodiscard]] bool install_staged(const staged_image& stage, uint32_t& written) {
    const raw_destination& where = stage.destination;
    if (region_holds(stage)) {
        err("INFO:%s already holds %s, not written again\n", where.device, stage.name);
        staged_installed(stage);
        return true;
    }
    if (where.mtd != nullptr) {
        // A partition may be smaller than the check pass could tell; a
        // partial image must never be written.
        const uint64_t room = nor_partition_room(where.mtd);
        if (room != 0 && stage.size > room) {
            err("ERROR:%s:%llu bytes do not fit in the %llu bytes of %s\n", stage.name,
                static_cast<unsigned long long>(stage.size), static_cast<unsigned long long>(room), where.mtd);
            return false;
        }
        if (!flash_unlock(where.mtd)) {
            err("ERROR:Cannot write %s to NOR flash at %s\n", stage.name, where.mtd);
            (void)flash_lock(where.mtd);
            err("INFO:Skipping %s update\n", stage.name);
            return false;
        }
    }
    const bool done = write_region(stage, written);
    // Locked again whatever happened: an unlocked partition is one stray
    // write away from a torn boot image.
    if (where.mtd != nullptr) (void)flash_lock(where.mtd);
    if (done) staged_installed(stage);
    return done;
}

// Every image the verdict accepted arrived whole in this walk; otherwise the
// bundle changed under the pass, and nothing held is written.
[[nodiscard]] bool all_verified_images_arrived(const install_plan& plan, const image_check* checks) {
    bool all = true;
    for (int type = 0; type < image_type_count; ++type) {
        if (!checks[type].present || plan.completed[type]) continue;
        err("ERROR:%s:%s was verified but did not arrive whole in this walk\n", bundle_info_name(type),
            checks[type].name);
        all = false;
    }
    return all;
}

// The watchdog is re-armed before every open, read and write of these steps;
// none is left armed for whatever comes after.
[[nodiscard]] bool install_held_images(install_plan& plan) {
    bool installed = true;
    for (size_t i = 0; installed && i < plan.staged_count; ++i)
        installed = install_staged(plan.staged[i], plan.written);
    sys::kernel().alarm(0);
    return installed;
}

// The new-member step of an install pass: ends what an unfinished member
// left open, makes sure an image member is the one that was verified, and
// applies the deciding row of the family's install rules.
[[nodiscard]] int install_new_file(void* opaque, untar_stream* stream, tar_header* header) {
    unbundle_state& state = state_of(opaque);
    if (state.zstream_active) {
        inflateEnd(&state.zstream);
        state.zstream_active = 0;
    }
    // A member cut short leaves its destination open; the next one must
    // not inherit it.
    close_destination(state);
    state.weight = 0;
    state.member = header;
    const member_rule& rule = member_rule_find(state.plan->rules, header->name);
    state.member_type = rule.image_type;
    if (rule.image_type != image_none && !member_is_verified(state, stream, header, rule.image_type)) return 1;
    member_rule_apply(rule, state, stream, header->name);
    return 1;
}

// What became of an install attempt that failed.
struct attempt_failure {
    bool read_failed = false;  // reading the bundle was what failed
    bool damaged = false;      // an image's own data cannot be installed whole
};

// One install attempt over the whole bundle; false when it failed. The
// destinations it began to write are added to config->written_images.
[[nodiscard]] bool install_attempt(const char* path, int bundle, off_t checked_end, update_config* config,
                                   std::span<const member_rule> rules, image_check* checks, attempt_failure& failure) {
    auto& k = sys::kernel();
    failure = {};
    bool& read_failed = failure.read_failed;
    if (k.lseek(bundle, 0, SEEK_SET) != 0) {
        report_errno(path, errno);
        read_failed = true;
        return false;
    }
    install_plan plan{};
    plan.rules = rules;
    plan.path = path;
    plan.bundle = bundle;
    plan.checked_end = checked_end;
    for (const member_rule& rule : rules) {
        const int type = rule.image_type;
        if (rule.data != staged_file_data || type == image_none || !checks[type].present || plan.held[type]) continue;
        plan.held[type].reset(new (std::nothrow) uint8_t[checks[type].size]);
        if (!plan.held[type]) {
            report_perror("malloc", ENOMEM);
            err("ERROR:%s:no room to hold %s, nothing installed\n", bundle_info_name(type), checks[type].name);
            return false;
        }
    }
    const bool walked = do_unbundle(path, bundle, config, install_new_file, checks, &plan, &read_failed) != 0;
    const bool installed = walked && all_verified_images_arrived(plan, checks) && install_held_images(plan);
    failure.damaged = plan.damaged;
    config->written_images |= plan.written;
    return installed;
}

}  // namespace

int unbundle_with(const char* path, update_config* config, int* result, new_member_handler check_new_file,
                  std::span<const member_rule> install_rules) {
    auto& k = sys::kernel();
    remove_diagsfs_temp();
    k.alarm(30);
    sys::unique_fd bundle(k.open(path, O_RDONLY));
    k.alarm(0);
    if (!bundle.valid()) {
        report_perror(path, errno);
        return 0;
    }
    if (config == nullptr) {
        err("configuration is NULL!\n");
        set_result(result, unbundle_install_failed);
        return 0;
    }
    progress_base = 0;
    image_check checks[image_type_count] = {};
    err("*** CHECKING %s ***\n", path);
    (void)eink_screen(screen_updating);  // the panel is a courtesy: the check goes on without it
    bool unreadable = false;
    if (!authorise_bundle(path, bundle.get(), config, check_new_file, checks, nullptr, &unreadable)) {
        set_result(result, unreadable ? unbundle_unreadable : unbundle_refused);
        return 0;
    }
    // Where the check pass stopped reading: the install pass reads as far.
    const off_t checked_end = k.lseek(bundle.get(), 0, SEEK_CUR);
    if (config->before_install != nullptr &&
        !config->before_install(config->before_install_context, path, checks)) {
        set_result(result, unbundle_install_failed);
        return 0;
    }
    bool every_failure_was_a_read = true;
    for (int attempt = 1; attempt <= 3; ++attempt) {
        err("*** UPDATING %s (Attempt #%d) ***\n", path, attempt);
        attempt_failure failure;
        if (install_attempt(path, bundle.get(), checked_end, config, install_rules, checks, failure)) {
            set_result(result, unbundle_installed);
            return 1;
        }
        if (failure.damaged) {
            err("*** UPDATE FAILED: AN IMAGE OF THE BUNDLE CANNOT BE INSTALLED WHOLE ***\n");
            remove_diagsfs_temp();
            set_result(result, unbundle_damaged);
            return 0;
        }
        every_failure_was_a_read = every_failure_was_a_read && failure.read_failed;
        if (attempt == 3) break;
        err("*** UPDATE FAILED, RETRYING ***\n");
    }
    err("*** UPDATE FAILED, GIVING UP! ***\n");
    remove_diagsfs_temp();
    set_result(result, every_failure_was_a_read ? unbundle_unreadable : unbundle_install_failed);
    return 0;
}

void install_write_failed(unbundle_state& state, untar_stream* stream, tar_header* header, const char* device) {
    err("WARNING:Could not copy '%s' to '%s'\n", header->name, device);
    clear_bar_text();
    err("EMERGENCY:\a*** %s may be corrupt and device may not reboot properly until this is resolved! ***\n",
        header->name);
    ++state.errors;
    abandon_member(state, stream);
}

bool install_write(unbundle_state& state, untar_stream* stream, tar_header* header, uint64_t offset,
                   const uint8_t* bytes, uint32_t length, const char* device) {
    uint32_t written = 0;
    while (written < length) {
        sys::kernel().alarm(30);
        const ssize_t n = sys::kernel().write(state.fd, bytes + written, length - written);
        if (n <= 0) {
            install_write_failed(state, stream, header, device);
            return false;
        }
        written += static_cast<uint32_t>(n);
        member_progress(state, header, offset + written);
    }
    return true;
}

int stage_raw_image(unbundle_state& state, const char* name, const raw_destination& destination) {
    install_plan* plan = state.plan;
    if (plan == nullptr || plan->staged_count == max_staged_images || state.member == nullptr) return 0;
    staged_image& stage = plan->staged[plan->staged_count];
    stage = {};
    std::snprintf(stage.name, sizeof stage.name, "%s", name);
    stage.type = state.member_type;
    stage.weight = state.weight;
    stage.destination = destination;
    stage.size = state.member->size;
    // Taken before the walk, for the member the check pass verified.
    stage.bytes = std::move(plan->held[stage.type]);
    if (!stage.bytes) return 0;
    ++plan->staged_count;
    return 1;
}

int staged_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                     const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    member_sink sink{&state, stream, header, nullptr};
    if (current_stage(state) == nullptr || !pass_gate(sink, offset, length, bytes, hold_piece)) return 1;
    if (!member_complete(header, offset, length)) return 1;
    // Held whole: written once the walk is over and every image has come.
    clear_bar_text();
    state.plan->completed[state.member_type] = true;
    return 1;
}

int rootfs_gz_file_start(unbundle_state& state, const char* name) {
    if (!bundle_holds_what_was_checked(state)) return 0;
    state.inflated.reset(new (std::nothrow) uint8_t[rootfs_output_block]);
    if (!state.inflated) {
        report_perror("malloc", ENOMEM);
        err("no space for buffer, ignoring '%s'\n", name);
        return 0;
    }
    state.zstream = {};
    if (inflateInit2(&state.zstream, 15 + 16) != Z_OK) return 0;
    state.zstream_active = 1;
    state.zstream_ended = false;
    const char* device = state.config->rootfs_dev;
    state.fd = sys::kernel().open(device, O_WRONLY | O_SYNC);
    if (state.fd >= 0) {
        state.room = shared_image_room(image_rootfs, state.config);
        state.written = 0;
        return 1;
    }
    report_errno(device, errno);
    inflateEnd(&state.zstream);
    state.zstream_active = 0;
    return 0;
}

void rootfs_gz_start_failed(unbundle_state&, const char* name) { err("cannot decompress %s\n", name); }

int rootfs_gz_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                        const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    member_progress(state, header, offset);
    member_sink sink{&state, stream, header, state.inflated.get()};
    if (!pass_gate(sink, offset, length, bytes, inflate_piece)) return 1;
    member_progress(state, header, offset + length);
    if (!member_complete(header, offset, length)) return 1;
    // A compressed image whose data stops short would leave a partial file
    // system behind a success message.
    if (!state.zstream_ended) {
        err("%s:compressed image ends before its data\n", header->name);
        image_damaged(state);
        rootfs_failed(state, stream, header);
        return 1;
    }
    finish_member(state, header, image_rootfs);
    return 1;
}

int diagsfs_img_file_start(unbundle_state& state, const char* name) {
    err("INFO:Updating %s\n", name);
    // Truncated: a longer image of an earlier update must not show through.
    state.fd = sys::kernel().open(diagsfs_temp, O_WRONLY | O_CREAT | O_TRUNC | O_SYNC, 0666);
    if (state.fd >= 0) return 1;
    report_errno(diagsfs_temp, errno);
    return 0;
}

void diagsfs_img_start_failed(unbundle_state&, const char* name) {
    err("INFO:Skipping %s update\n", name);
    err("IGNORING FILE: %s (can't save temporary)\n", name);
}

int diagsfs_img_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset,
                          uint32_t length, const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    member_sink sink{&state, stream, header, nullptr};
    if (!pass_gate(sink, offset, length, bytes, write_piece)) return 1;
    if (member_complete(header, offset, length)) finish_member(state, header, image_diagsfs);
    return 1;
}

}  // namespace qm

#include "update/install_common.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "display/bar.h"
#include "display/eink.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"

namespace qm {

namespace {

constexpr const char* diagsfs_temp = "/diagsfs.img";
constexpr size_t rootfs_output_block = 524288;

void set_result(int* result, int code) {
    if (result != nullptr) *result = code;
}

void close_destination(unbundle_state& state) {
    if (state.fd >= 0) sys::kernel().close(state.fd);
    state.fd = -1;
}

// Drops the rest of a member after a failure already counted.
void abandon_member(unbundle_state& state, untar_stream* stream) {
    untar_set_file_data(stream, ignore_file_data);
    close_destination(state);
}

void rootfs_failed(unbundle_state& state, untar_stream* stream, tar_header* header) {
    clear_bar_text();
    err("%s:failed\n", header->name);
    err("EMERGENCY:\a*** Data may be corrupt and device may not reboot properly until this is resolved! ***\n");
    ++state.errors;
    abandon_member(state, stream);
}

// True when the inflater has seen the end of its gzip stream.
bool inflater_ended(z_stream& zstream) {
    uint8_t spare = 0;
    zstream.next_in = nullptr;
    zstream.avail_in = 0;
    zstream.next_out = &spare;
    zstream.avail_out = 1;
    return inflate(&zstream, Z_NO_FLUSH) == Z_STREAM_END;
}

}  // namespace

int unbundle_with(const char* path, update_config* config, int* result, new_member_handler check_new_file,
                  new_member_handler install_new_file) {
    auto& k = sys::kernel();
    k.alarm(30);  // a user store that stops answering restarts the reader
    sys::unique_fd bundle(k.open(path, O_RDONLY));
    k.alarm(0);
    if (!bundle.valid()) {
        report_perror(path, errno);
        return 0;
    }
    if (config == nullptr) {
        err("configuration is NULL!\n");
        set_result(result, 2);
        return 0;
    }
    progress_base = 0;
    image_check checks[image_type_count] = {};
    err("*** CHECKING %s ***\n", path);
    eink_screen(21);
    if (!authorise_bundle(path, bundle.get(), config, check_new_file, checks)) {
        set_result(result, 4);
        return 0;
    }
    for (int attempt = 1; attempt <= 3; ++attempt) {
        err("*** UPDATING %s (Attempt #%d) ***\n", path, attempt);
        k.lseek(bundle.get(), 0, SEEK_SET);
        if (do_unbundle(path, bundle.get(), config, install_new_file, checks)) {
            set_result(result, 0);
            return 1;
        }
        if (attempt == 3) break;
        err("*** UPDATE FAILED, RETRYING ***\n");
    }
    err("*** UPDATE FAILED, GIVING UP! ***\n");
    set_result(result, 2);
    return 0;
}

void install_new_member(std::span<const member_rule> rules, unbundle_state& state, untar_stream* stream,
                        tar_header* header) {
    if (state.zstream_active) {
        inflateEnd(&state.zstream);
        state.zstream_active = 0;
    }
    // A member cut short leaves its destination open; the next one must
    // not inherit it.
    close_destination(state);
    state.weight = 0;
    member_rule_apply(member_rule_find(rules, header->name), state, stream, header->name);
}

bool installed_member_verified(unbundle_state& state, tar_header* header, int image_type) {
    uint8_t md5[16];
    uint8_t sha256[32];
    hash_finish(state, md5, sha256);
    const image_check& accepted = state.checks[image_type];
    if (accepted.present && std::memcmp(accepted.sha256, sha256, sizeof sha256) == 0) return true;
    clear_bar_text();
    err("EMERGENCY:\a*** %s differs from the image that was verified: the bundle changed while it was "
        "installed ***\n",
        header->name);
    ++state.errors;
    return false;
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

int offset_file_start(unbundle_state& state, const char* name, const char* device, long offset) {
    auto& k = sys::kernel();
    err("INFO:Updating %s (%s %+ld)\n", name, device, offset);
    state.fd = k.open(device, O_WRONLY | O_CREAT | O_SYNC, 0666);
    if (state.fd < 0) {
        report_errno(device, errno);
        err("INFO:Skipping %s update\n", name);
        return 0;
    }
    if (k.lseek(state.fd, offset, SEEK_SET) < 0) {
        report_errno(device, errno);
        close_destination(state);
        err("INFO:Skipping %s update\n", name);
        return 0;
    }
    return 1;
}

void offset_file_copy(untar_stream* stream, unbundle_state& state, tar_header* header, uint64_t offset,
                      uint32_t length, const uint8_t* bytes, const char* device, long base, uint64_t limit,
                      int image_type) {
    hash_update(state, bytes, length);
    bool truncated = false;
    if (offset + length > limit) {
        err("ERROR:Truncating '%s' to fit in available space!\n", header->name);
        length = offset <= limit ? static_cast<uint32_t>(limit - offset) : 0;
        truncated = true;
    }
    if (truncated) {
        // What fits goes in with one write; the member fails below anyway.
        if (length > 0) {
            const ssize_t n = sys::kernel().write(state.fd, bytes, length);
            if (n <= 0) {
                install_write_failed(state, stream, header, device);
                return;
            }
            member_progress(state, header, offset + static_cast<uint64_t>(n));
        }
    } else if (!install_write(state, stream, header, offset, bytes, length, device)) {
        return;
    }
    if (member_complete(header, offset, length)) {
        if (!installed_member_verified(state, header, image_type)) {
            abandon_member(state, stream);
            return;
        }
        finish_file_data_helper(state, header);
    }
    if (truncated) {
        close_destination(state);
        err("ERROR:Could not install '%s' to '%s'%+ld\n", header->name, device, base);
        ++state.errors;
        untar_set_file_data(stream, ignore_file_data);
    }
}

int rootfs_gz_file_start(unbundle_state& state, const char* name) {
    state.zstream = {};
    if (inflateInit2(&state.zstream, 15 + 16) != Z_OK) return 0;
    state.zstream_active = 1;
    const char* device = state.config->rootfs_dev;
    state.fd = sys::kernel().open(device, O_WRONLY | O_SYNC);
    if (state.fd >= 0) return 1;
    report_errno(device, errno);
    (void)name;
    inflateEnd(&state.zstream);
    state.zstream_active = 0;
    return 0;
}

void rootfs_gz_start_failed(unbundle_state&, const char* name) { err("cannot decompress %s\n", name); }

int rootfs_gz_file_data(void* opaque, untar_stream* stream, tar_header* header, uint64_t offset, uint32_t length,
                        const uint8_t* bytes) {
    unbundle_state& state = state_of(opaque);
    std::unique_ptr<uint8_t[]> output(new (std::nothrow) uint8_t[rootfs_output_block]);
    if (!output) {
        report_perror("malloc", ENOMEM);
        ++state.errors;
        err("no space for buffer, ignoring '%s'\n", header->name);
        return 1;
    }
    member_progress(state, header, offset);
    hash_update(state, bytes, length);
    z_stream& z = state.zstream;
    z.next_in = const_cast<uint8_t*>(bytes);
    z.avail_in = length;
    int status = Z_OK;
    do {
        z.next_out = output.get();
        z.avail_out = rootfs_output_block;
        status = inflate(&z, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END) {
            err("%s:decompression error(%d) %s\n", header->name, status, z.msg != nullptr ? z.msg : "");
            rootfs_failed(state, stream, header);
            return 1;
        }
        const size_t produced = rootfs_output_block - z.avail_out;
        size_t written = 0;
        while (written < produced) {
            const ssize_t n = sys::kernel().write(state.fd, output.get() + written, produced - written);
            if (n <= 0) {
                err("WARNING:Could not copy '%s' to '%s'\n", header->name, state.config->rootfs_dev);
                rootfs_failed(state, stream, header);
                return 1;
            }
            written += static_cast<size_t>(n);
        }
    } while (z.avail_out == 0 && status != Z_STREAM_END);

    member_progress(state, header, offset + length);
    if (!member_complete(header, offset, length)) return 1;
    // A compressed image whose data stops short would leave a partial file
    // system behind a success message.
    if (!inflater_ended(z)) {
        err("%s:compressed image ends before its data\n", header->name);
        rootfs_failed(state, stream, header);
        return 1;
    }
    if (!installed_member_verified(state, header, image_rootfs)) {
        abandon_member(state, stream);
        return 1;
    }
    finish_file_data_helper(state, header);
    return 1;
}

int diagsfs_img_file_start(unbundle_state& state, const char* name) {
    err("INFO:Updating %s\n", name);
    state.fd = sys::kernel().open(diagsfs_temp, O_WRONLY | O_CREAT | O_SYNC, 0666);
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
    hash_update(state, bytes, length);
    if (!install_write(state, stream, header, offset, bytes, length, diagsfs_temp)) return 1;
    if (!member_complete(header, offset, length)) return 1;
    if (!installed_member_verified(state, header, image_diagsfs)) {
        abandon_member(state, stream);
        return 1;
    }
    finish_file_data_helper(state, header);
    return 1;
}

int announce_not_installed(unbundle_state&, const char* name) {
    err("IGNORING FILE: %s\n", name);
    return 1;
}

void ignoring_file(unbundle_state&, const char* name) { err("IGNORING FILE: %s\n", name); }

}  // namespace qm

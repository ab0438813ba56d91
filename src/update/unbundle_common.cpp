#include "update/unbundle_common.h"

#include <fnmatch.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "display/bar.h"
#include "display/eink.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/read_full.h"

namespace qm {

unsigned progress_base = 0;

namespace {

using machine_word = std::uintptr_t;

// Swaps the nibbles of every byte of the word and applies the key. The
// nibbles' XOR, t, swaps them in three operations the processor's shifter
// helps with, and no bit ever leaves its byte, so the result is the byte
// form's whatever the byte order and the word size.
[[nodiscard, gnu::always_inline]] inline machine_word unscramble_word(machine_word x) {
    constexpr machine_word low = static_cast<machine_word>(0x0F0F0F0F0F0F0F0FULL);
    constexpr machine_word key = static_cast<machine_word>(0x0101010101010101ULL) * payload_key;
    const machine_word t = (x ^ (x >> 4)) & low;
    return x ^ t ^ (t << 4) ^ key;
}

[[gnu::always_inline]] inline void unscramble_at(uint8_t* at) {
    machine_word x;
    std::memcpy(&x, at, sizeof x);
    x = unscramble_word(x);
    std::memcpy(at, &x, sizeof x);
}

}  // namespace

void payload_unscramble(std::span<uint8_t> bytes) {
    // Four machine words per step, written out so that a compiler
    // optimising for size keeps them in registers. Byte by byte this loop
    // cost a fifth of a check pass.
    constexpr size_t w = sizeof(machine_word);
    uint8_t* at = bytes.data();
    uint8_t* const end = at + bytes.size();
    for (; static_cast<size_t>(end - at) >= 4 * w; at += 4 * w) {
        unscramble_at(at);
        unscramble_at(at + w);
        unscramble_at(at + 2 * w);
        unscramble_at(at + 3 * w);
    }
    for (; at != end; ++at) *at = payload_unscramble_byte(*at);
}

void payload_scramble(std::span<uint8_t> bytes) {
    for (uint8_t& b : bytes) b = payload_scramble_byte(b);
}

const char* bundle_info_name(int type) {
    return type >= 0 && type < image_type_count ? image_type_names[type] : "<error>";
}

bool member_rule_matches(const member_rule& rule, const char* name) {
    if (rule.patterns[0] == nullptr) return true;
    for (const char* pattern : rule.patterns) {
        if (pattern == nullptr) continue;
        if (rule.match == match_kind::exact ? std::strcmp(pattern, name) == 0
                                            : fnmatch(pattern, name, 0) == 0)
            return true;
    }
    return false;
}

const member_rule& member_rule_find(std::span<const member_rule> rules, const char* name) {
    for (const member_rule& rule : rules)
        if (member_rule_matches(rule, name)) return rule;
    return rules.back();
}

void member_rule_apply(const member_rule& rule, unbundle_state& state, untar_stream* stream,
                       const char* name) {
    if (rule.hashed) hash_starts(state);
    state.weight = rule.weight;
    if (rule.start != nullptr && !rule.start(state, name)) {
        if (rule.failed != nullptr) rule.failed(state, name);
        ++state.errors;
        untar_set_file_data(stream, ignore_file_data);
        return;
    }
    untar_set_file_data(stream, rule.data != nullptr ? rule.data : ignore_file_data);
}

void progress_push(unsigned weight) {
    progress_base += weight;
    err("INFO:Total progress is %u%%\n", progress_base);
}

unsigned progress_percent(unsigned weight, uint64_t position, uint64_t total) {
    uint64_t part = 0;
    if (total != 0) part = std::min<uint64_t>(weight, uint64_t{weight} * position / total);
    return static_cast<unsigned>(std::min<uint64_t>(100, progress_base + part));
}

void progress_update(unsigned weight, uint64_t position, uint64_t total) {
    (void)eink_progressbar(progress_percent(weight, position, total));  // the console shows it too
}

void member_progress(unbundle_state& state, tar_header* header, uint64_t position) {
    image_progress(header->name, position, header->size, state.weight);
}

void image_progress(const char* name, uint64_t position, uint64_t size, unsigned weight) {
    out("\r%s %-10llu ", name, static_cast<unsigned long long>(position));
    draw_bar_text(40, static_cast<uint32_t>(position), static_cast<uint32_t>(size));
    progress_update(weight, position, size);
}

void hash_starts(unbundle_state& state) {
    mbedtls_md5_starts_ret(&state.md5);
    mbedtls_sha256_starts_ret(&state.sha256, 0);
}

void hash_update(unbundle_state& state, const uint8_t* bytes, size_t length) {
    mbedtls_md5_update_ret(&state.md5, bytes, length);
    mbedtls_sha256_update_ret(&state.sha256, bytes, length);
}

void hash_finish(unbundle_state& state, uint8_t* md5_out, uint8_t* sha256_out) {
    mbedtls_md5_finish_ret(&state.md5, md5_out);
    mbedtls_sha256_finish_ret(&state.sha256, sha256_out);
}

void print_ignored_file(unbundle_state&, const char* name) { err("IGNORING FILE: %s\n", name); }

int announce_ignored_file(unbundle_state& state, const char* name) {
    print_ignored_file(state, name);
    return 1;
}

int ignore_file_data(void*, untar_stream*, tar_header*, uint64_t, uint32_t, const uint8_t*) { return 1; }

void finish_file_data_helper(unbundle_state& state, tar_header* header) {
    clear_bar_text();
    progress_push(state.weight);
    if (state.fd >= 0) sys::kernel().close(state.fd);
    state.fd = -1;
    err("INFO:%s update successful\n", header->name);
}

namespace {

// Everything one pass holds, released on every path by its destructor.
struct pass_resources {
    std::unique_ptr<uint8_t[]> input;
    std::unique_ptr<uint8_t[]> output;
    unbundle_state state{};
    untar_stream* tar = nullptr;
    z_stream inflater{};
    bool inflater_active = false;
    bool archive_over = false;  // the parser has seen the end block; it gets nothing more

    pass_resources() {
        // Zero is a descriptor (standard input): a pass that fails before it
        // opens a destination must not close it.
        state.fd = -1;
        mbedtls_md5_init(&state.md5);
        mbedtls_sha256_init(&state.sha256);
    }
    ~pass_resources() {
        // A member cut short (a truncated bundle, an empty image) leaves its
        // destination open.
        if (state.fd >= 0) sys::kernel().close(state.fd);
        if (state.zstream_active) {
            inflateEnd(&state.zstream);
            state.zstream_active = 0;
        }
        if (inflater_active) inflateEnd(&inflater);
        untar_stream_finished(tar);
        mbedtls_md5_free(&state.md5);
        mbedtls_sha256_free(&state.sha256);
        sys::kernel().alarm(0);
    }
    pass_resources(const pass_resources&) = delete;
    pass_resources& operator=(const pass_resources&) = delete;
};

// A short header is reported in the perror form; when the file simply ended
// there is no errno to show, so say that no data was there.
void report_short_read(const char* path, ssize_t got) {
    report_perror(path, got < 0 ? errno : ENODATA);
}

// Checks the magic and skips the rest of the header block; 1 when the
// payload follows.
[[nodiscard]] int check_header(const char* path, int file, uint8_t* block, bool& read_failed) {
    ssize_t got = sys::read_full(file, block, sizeof bundle_magic);
    if (got != static_cast<ssize_t>(sizeof bundle_magic)) {
        read_failed = got < 0;
        report_short_read(path, got);
        return 0;
    }
    if (std::memcmp(block, bundle_magic, sizeof bundle_magic) == 0) {
        const size_t rest = bundle_header_size - sizeof bundle_magic;
        got = sys::read_full(file, block, rest);
        if (got != static_cast<ssize_t>(rest)) {
            read_failed = got < 0;
            report_short_read(path, got);
            return 0;
        }
        return 1;
    }
    if (std::memcmp(block, bundle_magic_ota, sizeof bundle_magic_ota) == 0)
        err("ERROR: OTA version not supported.\n");
    else
        err("%s:Unrecognized bundle header\n", path);
    return 0;
}

enum class block_outcome { need_input, archive_ended, stream_ended, failed };

// Inflates the current input and pushes the output into the parser, until
// the input is used up, the gzip stream ends, or something fails (reported).
// Once the archive has ended, the rest of the stream is still inflated, so the
// walk ends at the end of the gzip member (whose trailer the check pass
// checks), but the output goes nowhere.
[[nodiscard]] block_outcome inflate_block(const char* path, pass_resources& pass) {
    z_stream& z = pass.inflater;
    int result = Z_OK;
    do {
        sys::kernel().alarm(30);
        z.next_out = pass.output.get();
        z.avail_out = bundle_output_block;
        result = inflate(&z, Z_NO_FLUSH);
        // With the output buffer filled exactly as the input ran out, the
        // next call has nothing to work on; that only means "read more".
        if (result == Z_BUF_ERROR && z.avail_in == 0 && z.avail_out == bundle_output_block)
            return block_outcome::need_input;
        if (result != Z_OK && result != Z_STREAM_END) {
            err("%s:decompression error(%d) %s\n", path, result, z.msg != nullptr ? z.msg : "");
            return block_outcome::failed;
        }
        if (pass.archive_over) continue;
        const uint32_t produced = static_cast<uint32_t>(bundle_output_block - z.avail_out);
        if (untar_stream_push(pass.tar, produced, pass.output.get()) == 0) {
            err("%s:tar error\n", path);
            return block_outcome::failed;
        }
        if (pass.state.stop) return block_outcome::failed;
        // Whatever follows the end of the archive is no member of it: were it
        // parsed, a header there could start a member that the check pass
        // never sees complete and the install pass writes.
        if (untar_finished(pass.tar)) pass.archive_over = true;
    } while (z.avail_out == 0 && result != Z_STREAM_END);
    if (result != Z_STREAM_END) return block_outcome::need_input;
    return pass.archive_over ? block_outcome::archive_ended : block_outcome::stream_ended;
}

}  // namespace

int do_unbundle(const char* path, int file, const update_config* config, new_member_handler new_member,
                image_check* checks, install_plan* plan, bool* read_failed) {
    sys::kernel().alarm(30);
    pass_resources pass;
    unbundle_state& state = pass.state;
    const auto finish = [&](int result) {
        if (read_failed != nullptr) *read_failed = state.read_failed;
        return result;
    };
    pass.input.reset(new (std::nothrow) uint8_t[bundle_input_block]);
    pass.output.reset(new (std::nothrow) uint8_t[bundle_output_block]);
    if (!pass.input || !pass.output) {
        report_perror("malloc", ENOMEM);
        return finish(0);
    }
    if (!check_header(path, file, pass.input.get(), state.read_failed)) return finish(0);

    state.config = config;
    state.checks = checks;
    state.plan = plan;
    pass.tar = untar_stream_create(path);
    if (pass.tar == nullptr) return finish(0);  // the parser reported the allocation failure
    untar_set_opaque(pass.tar, &state);
    untar_set_new_file(pass.tar, new_member);
    untar_set_file_data(pass.tar, ignore_file_data);

    if (inflateInit2(&pass.inflater, 15 + 16) != Z_OK) {
        ++state.errors;
        return finish(0);
    }
    pass.inflater_active = true;
    // An install pass hands on only bytes proven against the check pass's
    // digests, and that pass checked the payload's gzip trailer: checking it
    // again would cost a CRC-32 of every payload byte and protect nothing.
    // The check pass and the host tools keep it.
    if (plan != nullptr) (void)inflateValidate(&pass.inflater, 0);  // fails only on a stream not set up

    for (;;) {
        sys::kernel().alarm(30);
        // Whole blocks, so both passes see the payload cut in the same places.
        const ssize_t got = sys::read_full(file, pass.input.get(), bundle_input_block);
        if (got < 0) {
            report_perror(path, errno);
            state.read_failed = true;
            ++state.errors;
            break;
        }
        if (got == 0) {
            err("%s:decompression error, truncated file\n", path);
            ++state.errors;
            break;
        }
        payload_unscramble({pass.input.get(), static_cast<size_t>(got)});
        pass.inflater.next_in = pass.input.get();
        pass.inflater.avail_in = static_cast<uInt>(got);
        const block_outcome outcome = inflate_block(path, pass);
        if (outcome == block_outcome::need_input) continue;
        if (outcome == block_outcome::failed) ++state.errors;
        if (outcome == block_outcome::stream_ended) {
            err("%s:tar error:truncated\n", path);
            ++state.errors;
        }
        break;
    }
    return finish(state.errors == 0 ? 1 : 0);
}

}  // namespace qm

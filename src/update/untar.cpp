#include "update/untar.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "sys/console.h"

namespace qm {

namespace {

constexpr int64_t block_size = 512;

enum class field_kind : uint8_t { text, number, flag };

struct header_field {
    const char* name;  // as named in corruption messages
    uint32_t width;
    field_kind kind;
};

// The stored part of a ustar header block, in block order; indexed by
// untar_step from untar_step::name on.
constexpr header_field header_fields[] = {
    {"name", 100, field_kind::text},    {"mode", 8, field_kind::number},
    {"uid", 8, field_kind::number},     {"gid", 8, field_kind::number},
    {"size", 12, field_kind::number},   {"mtime", 12, field_kind::number},
    {"chksum", 8, field_kind::number},  {"typeflag", 1, field_kind::flag},
    {"linkname", 100, field_kind::text}, {"magic", 8, field_kind::text},
    {"uname", 32, field_kind::text},    {"gname", 32, field_kind::text},
    {"devmajor", 8, field_kind::number}, {"devminor", 8, field_kind::number},
};

constexpr size_t field_count = sizeof header_fields / sizeof header_fields[0];
static_assert(static_cast<size_t>(untar_step::devminor) - static_cast<size_t>(untar_step::name) + 1 ==
              field_count);

[[nodiscard]] constexpr uint32_t stored_header_bytes() {
    uint32_t total = 0;
    for (const header_field& f : header_fields) total += f.width;
    return total;
}
static_assert(stored_header_bytes() == 345);

const header_field& field_of(untar_step step) {
    return header_fields[static_cast<size_t>(step) - static_cast<size_t>(untar_step::name)];
}

untar_step next_step(untar_step step) { return static_cast<untar_step>(static_cast<uint8_t>(step) + 1); }

[[nodiscard]] char* text_field(tar_header& h, untar_step step) {
    switch (step) {
        case untar_step::name: return h.name;
        case untar_step::linkname: return h.linkname;
        case untar_step::magic: return h.magic;
        case untar_step::uname: return h.uname;
        case untar_step::gname: return h.gname;
        default: return nullptr;
    }
}

void store_number(tar_header& h, untar_step step, uint32_t value) {
    switch (step) {
        case untar_step::mode: h.mode = value; break;
        case untar_step::uid: h.uid = value; break;
        case untar_step::gid: h.gid = value; break;
        case untar_step::size: h.size = value; break;
        case untar_step::mtime: h.mtime = value; break;
        case untar_step::chksum: h.chksum = value; break;
        case untar_step::devmajor: h.devmajor = value; break;
        case untar_step::devminor: h.devminor = value; break;
        default: break;
    }
}

[[nodiscard]] bool is_c_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// An octal number field: optional leading white space and sign, octal
// digits, then the end of the text, where spaces may stand before it (POSIX
// allows space or NUL after the digits, and some writers end fields with a
// space and no NUL). A value that does not fit in 32 bits is refused rather
// than wrapped, and so is a negative size: either would misplace every later
// member of the archive.
[[nodiscard]] bool parse_octal(const char* text, bool is_size, uint32_t& value) {
    const char* c = text;
    while (is_c_space(*c)) ++c;
    bool negative = false;
    if (*c == '+' || *c == '-') {
        negative = *c == '-';
        ++c;
    }
    if (negative && is_size) return false;
    uint64_t v = 0;
    for (; *c >= '0' && *c <= '7'; ++c) {
        v = v * 8 + static_cast<uint64_t>(*c - '0');
        if (v > UINT32_MAX) return false;
    }
    while (*c == ' ') ++c;
    if (*c != '\0') return false;
    value = static_cast<uint32_t>(v);
    if (negative) value = 0U - value;
    return true;
}

void begin_header(untar_stream& s) {
    std::memset(&s.header, 0, sizeof s.header);
    s.all_zero = true;
    s.skipped_number = false;
    s.field_fill = 0;
    s.region_remaining = block_size;
}

[[nodiscard]] int fail(untar_stream& s) {
    s.resume = untar_step::header_start;
    return 0;
}

// Completes a header field whose bytes have all arrived. false after a
// format error, which has been printed.
[[nodiscard]] bool finish_field(untar_stream& s, untar_step step) {
    const header_field& f = field_of(step);
    switch (f.kind) {
        case field_kind::text:
            text_field(s.header, step)[f.width] = '\0';
            if (step == untar_step::magic && !s.all_zero && std::memcmp(s.header.magic, "ustar", 5) != 0) {
                err("%s:not a tar file(magic=%s)\n", s.label, s.header.magic);
                return false;
            }
            return true;
        case field_kind::number: {
            s.number[f.width] = '\0';
            if (s.all_zero) {
                s.skipped_number = true;
                return true;
            }
            uint32_t value = 0;
            if (!parse_octal(s.number, step == untar_step::size, value)) {
                err("%s:tar corruption(%s)\n", s.label, f.name);
                return false;
            }
            store_number(s.header, step, value);
            return true;
        }
        case field_kind::flag:
            return true;
    }
    return true;
}

struct cursor {
    const uint8_t* at;
    uint32_t left;

    void advance(uint32_t n) {
        at += n;
        left -= n;
    }
};

// Takes the next bytes of a header field. false when the push ran out
// before the field was complete.
[[nodiscard]] bool take_field_bytes(untar_stream& s, untar_step step, cursor& in) {
    const header_field& f = field_of(step);
    const uint32_t n = std::min(in.left, f.width - s.field_fill);
    if (f.kind != field_kind::flag && s.all_zero) s.all_zero = is_zero(in.at, n) != 0;
    // An empty push may come with a null pointer, which memcpy must never see.
    switch (n == 0 ? field_kind::flag : f.kind) {
        case field_kind::text: std::memcpy(text_field(s.header, step) + s.field_fill, in.at, n); break;
        case field_kind::number: std::memcpy(s.number + s.field_fill, in.at, n); break;
        case field_kind::flag:
            if (n > 0) s.header.typeflag = static_cast<char>(in.at[0]);
            break;
    }
    s.field_fill += n;
    s.region_remaining -= n;
    in.advance(n);
    return s.field_fill == f.width;
}

enum class block_end { member, end_of_archive, corrupt };

// The whole header block has been consumed: decide what it was.
block_end end_header_block(untar_stream& s) {
    if (s.all_zero) {
        s.finished = true;
        return block_end::end_of_archive;
    }
    if (s.skipped_number) {
        err("%s:tar corruption in header\n", s.label);
        return block_end::corrupt;
    }
    if (s.new_file) s.new_file(s.opaque, &s, &s.header);
    // Read after the callback: it may look at, and own, the record.
    s.region_remaining = static_cast<int64_t>((s.header.size + block_size - 1) / block_size * block_size);
    s.data_offset = 0;
    return block_end::member;
}

// Takes the member data and padding in this push. false when the push ran
// out inside the member's region.
[[nodiscard]] bool take_member_data(untar_stream& s, cursor& in) {
    const uint32_t chunk =
        static_cast<uint32_t>(std::min<int64_t>(in.left, s.region_remaining));
    const uint64_t unsent = s.header.size > s.data_offset ? s.header.size - s.data_offset : 0;
    const uint32_t run = static_cast<uint32_t>(std::min<uint64_t>(in.left, unsent));
    if (run > 0 && s.file_data) s.file_data(s.opaque, &s, &s.header, s.data_offset, run, in.at);
    s.data_offset += run;
    s.region_remaining -= chunk;
    in.advance(chunk);
    return s.region_remaining == 0;
}

}  // namespace

int is_zero(const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i)
        if (bytes[i] != 0) return 0;
    return 1;
}

untar_stream* untar_stream_create(const char* label) {
    const char* text = label ? label : "(none)";
    auto* s = new (std::nothrow) untar_stream{};
    const size_t length = std::strlen(text);
    char* copy = s ? new (std::nothrow) char[length + 1] : nullptr;
    if (!copy) {
        delete s;
        report_perror("untar_stream_create", ENOMEM);
        return nullptr;
    }
    std::memcpy(copy, text, length + 1);
    s->label = copy;
    s->resume = untar_step::header_start;
    return s;
}

void untar_set_opaque(untar_stream* stream, void* opaque) { stream->opaque = opaque; }
void untar_set_new_file(untar_stream* stream, untar_new_file_fn callback) { stream->new_file = callback; }
void untar_set_file_data(untar_stream* stream, untar_file_data_fn callback) { stream->file_data = callback; }
untar_file_data_fn untar_file_data(const untar_stream* stream) { return stream->file_data; }

int untar_finished(const untar_stream* stream) { return stream->finished ? 1 : 0; }

void untar_stream_finished(untar_stream* stream) {
    if (!stream) return;
    delete[] stream->label;
    delete stream;
}

int untar_stream_push(untar_stream* stream, uint32_t length, const uint8_t* data) {
    untar_stream& s = *stream;
    cursor in{data, length};
    for (;;) {
        const untar_step step = s.resume;
        switch (step) {
            case untar_step::header_start:
                begin_header(s);
                s.resume = untar_step::name;
                break;
            case untar_step::name:
            case untar_step::mode:
            case untar_step::uid:
            case untar_step::gid:
            case untar_step::size:
            case untar_step::mtime:
            case untar_step::chksum:
            case untar_step::typeflag:
            case untar_step::linkname:
            case untar_step::magic:
            case untar_step::uname:
            case untar_step::gname:
            case untar_step::devmajor:
            case untar_step::devminor:
                if (!take_field_bytes(s, step, in)) return 1;
                if (!finish_field(s, step)) return fail(s);
                s.field_fill = 0;
                s.resume = next_step(step);
                break;
            case untar_step::header_rest: {
                const uint32_t n = static_cast<uint32_t>(std::min<int64_t>(in.left, s.region_remaining));
                if (s.all_zero) s.all_zero = is_zero(in.at, n) != 0;
                s.region_remaining -= n;
                in.advance(n);
                if (s.region_remaining > 0) return 1;
                switch (end_header_block(s)) {
                    case block_end::end_of_archive: s.resume = untar_step::header_start; return 1;
                    case block_end::corrupt: return fail(s);
                    case block_end::member:
                        s.resume = s.region_remaining == 0 ? untar_step::header_start : untar_step::member_data;
                        break;
                }
                break;
            }
            case untar_step::member_data:
                if (!take_member_data(s, in)) return 1;
                s.resume = untar_step::header_start;
                break;
            default:
                return fail(s);
        }
    }
}

}  // namespace qm

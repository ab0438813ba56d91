// Incremental ustar parser. The archive arrives in pieces of any length; the
// parser keeps its place between pushes, even inside a header field, and
// reports members through callbacks. Member data is never copied: the data
// callback gets pointers into the pushed bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qm {

// One decoded header, cleared before each header block. The name comes
// first, so a pointer to the record is a pointer to the NUL-terminated
// member name.
struct tar_header {
    char name[101];
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    uint64_t size;  // never above 0xFFFFFFFF
    uint32_t mtime;
    uint32_t chksum;
    char typeflag;
    char linkname[101];
    char magic[9];  // magic and version as one 8-byte string
    char uname[33];
    char gname[33];
    uint32_t devmajor;
    uint32_t devminor;
};

struct untar_stream;

// Called once per member after its whole header block, before its data.
using untar_new_file_fn = int (*)(void* opaque, untar_stream* stream, tar_header* header);
// Called for each run of member data found in one push; offset is the
// position of data[0] within the member. Padding is never delivered.
using untar_file_data_fn = int (*)(void* opaque, untar_stream* stream, tar_header* header,
                                   uint64_t offset, uint32_t length, const uint8_t* data);

// Where the next pushed byte belongs.
enum class untar_step : uint8_t {
    header_start,
    name,
    mode,
    uid,
    gid,
    size,
    mtime,
    chksum,
    typeflag,
    linkname,
    magic,
    uname,
    gname,
    devmajor,
    devminor,
    header_rest,
    member_data,
};

// The state of one archive walk. Made by untar_stream_create and released
// by untar_stream_finished; callers use the functions below, not the fields.
struct untar_stream {
    char* label;  // owned; first word of every message
    untar_step resume;
    uint32_t field_fill;  // bytes of the current header field received so far
    void* opaque;
    untar_new_file_fn new_file;
    untar_file_data_fn file_data;
    char number[13];  // the widest numeric field and a NUL
    tar_header header;
    int64_t region_remaining;  // of the header block, or of the padded member data
    uint64_t data_offset;      // member data bytes delivered so far
    bool all_zero;             // every byte of this header block tested so far was zero
    bool skipped_number;       // a numeric field ended while the block was still all zero
    bool finished;             // an all-zero header block was seen
};

// A new stream at the first header with no callbacks. label may be null
// ("(none)"). Null, reported with perror's form, when memory runs out.
[[nodiscard]] untar_stream* untar_stream_create(const char* label);

// The setters may be called at any time, also from inside a callback; the
// parser reads the callbacks afresh before every call.
void untar_set_opaque(untar_stream* stream, void* opaque);
void untar_set_new_file(untar_stream* stream, untar_new_file_fn callback);
void untar_set_file_data(untar_stream* stream, untar_file_data_fn callback);
// The data callback in force, for a caller that wraps what another set.
untar_file_data_fn untar_file_data(const untar_stream* stream);

// Feeds the next piece of the archive (length 0 allowed). 1 when it was
// consumed or held the end of the archive; 0 after a format error, which
// has been printed, with the stream back at a header start.
[[nodiscard]] int untar_stream_push(untar_stream* stream, uint32_t length, const uint8_t* data);

// 1 once an all-zero header block has been seen, else 0.
[[nodiscard]] int untar_finished(const untar_stream* stream);

// Releases the stream and its label; null is ignored.
void untar_stream_finished(untar_stream* stream);

// 1 when all length bytes are zero (also for length 0), else 0.
[[nodiscard]] int is_zero(const uint8_t* bytes, size_t length);

}  // namespace qm

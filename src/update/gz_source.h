// Reads a descriptor of sys::Kernel the way zlib's gzip reader does: gzip
// data comes out inflated, anything else unchanged. zlib's own reader
// (gzdopen) needs a descriptor of the host system, which the simulated
// device does not hand out, so the inflation is driven here with zlib's
// streaming calls. Like gzip, it reads every member of a file made of
// several gzip members one after another; anything else after a member is
// an error.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <memory>
#include <string>

namespace qm {

class GzSource {
public:
    explicit GzSource(int fd);
    ~GzSource();
    GzSource(const GzSource&) = delete;
    GzSource& operator=(const GzSource&) = delete;

    // Up to count bytes of content; 0 at the end, -1 on an error, which
    // error() then describes.
    [[nodiscard]] long read(unsigned char* buffer, size_t count);

    // After a failed read: the errno of a failed system call, or 0 when the
    // data itself was bad (then message() says how).
    [[nodiscard]] int error_number() const { return error_number_; }
    [[nodiscard]] const std::string& message() const { return message_; }

private:
    // Reads until at_least bytes are in, the file ended or a read failed.
    [[nodiscard]] bool fill(size_t at_least = 1);

    int fd_;
    enum class Kind { unknown, plain, gzip } kind_ = Kind::unknown;
    z_stream zstream_ {};
    bool zstream_ready_ = false;
    bool member_ended_ = false;  // the last member ended; more bytes start another
    bool ended_ = false;
    std::unique_ptr<unsigned char[]> input_;
    size_t input_size_ = 0;
    int error_number_ = 0;
    std::string message_;
};

}  // namespace qm

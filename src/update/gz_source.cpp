#include "update/gz_source.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "sys/kernel.h"

namespace qm {

namespace {
constexpr size_t input_capacity = 131072;
}

GzSource::GzSource(int fd) : fd_(fd), input_(new (std::nothrow) unsigned char[input_capacity]) {}

GzSource::~GzSource() {
    if (zstream_ready_) inflateEnd(&zstream_);
}

bool GzSource::fill(size_t at_least) {
    input_size_ = 0;
    while (input_size_ < at_least) {
        const ssize_t n = sys::kernel().read(fd_, input_.get() + input_size_, input_capacity - input_size_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_number_ = errno;
            return false;
        }
        if (n == 0) break;
        input_size_ += static_cast<size_t>(n);
    }
    zstream_.next_in = input_.get();
    zstream_.avail_in = static_cast<uInt>(input_size_);
    return true;
}

long GzSource::read(unsigned char* buffer, size_t count) {
    if (!input_) {
        message_ = "out of memory";
        return -1;
    }
    if (kind_ == Kind::unknown) {
        // A read may deliver a single byte; the kind is told by two.
        if (!fill(2)) return -1;
        const bool gzip = input_size_ >= 2 && input_[0] == 0x1f && input_[1] == 0x8b;
        kind_ = gzip ? Kind::gzip : Kind::plain;
        if (gzip) {
            if (inflateInit2(&zstream_, 15 + 16) != Z_OK) {
                message_ = "out of memory";
                return -1;
            }
            zstream_ready_ = true;
        }
    }
    if (kind_ == Kind::plain) {
        if (zstream_.avail_in == 0 && !fill()) return -1;
        const size_t n = std::min(count, static_cast<size_t>(zstream_.avail_in));
        std::memcpy(buffer, zstream_.next_in, n);
        zstream_.next_in += n;
        zstream_.avail_in -= static_cast<uInt>(n);
        return static_cast<long>(n);
    }

    zstream_.next_out = buffer;
    zstream_.avail_out = static_cast<uInt>(count);
    while (zstream_.avail_out > 0 && !ended_) {
        if (zstream_.avail_in == 0) {
            if (!fill()) return -1;
            if (input_size_ == 0) {
                // The end of the file is the end of the content only right
                // after a gzip member.
                if (member_ended_) {
                    ended_ = true;
                    break;
                }
                message_ = "unexpected end of file";
                return -1;
            }
        }
        if (member_ended_) {
            // More bytes after a member: another member, as gzip reads them.
            inflateReset(&zstream_);
            member_ended_ = false;
        }
        const int status = inflate(&zstream_, Z_NO_FLUSH);
        if (status == Z_STREAM_END) {
            member_ended_ = true;
        } else if (status != Z_OK) {
            message_ = zstream_.msg != nullptr ? zstream_.msg : "compressed data error";
            return -1;
        }
    }
    return static_cast<long>(count - zstream_.avail_out);
}

}  // namespace qm

#include "update/copy_file.h"

#include <fcntl.h>

#include <cerrno>
#include <memory>
#include <new>

#include "display/bar.h"
#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/unique_fd.h"
#include "update/gz_source.h"

namespace qm {

namespace {

constexpr unsigned chunk_seconds = 30;

// Cancels the watchdog on every way out of a copy.
struct alarm_cancel {
    alarm_cancel() = default;
    alarm_cancel(const alarm_cancel&) = delete;
    alarm_cancel& operator=(const alarm_cancel&) = delete;
    ~alarm_cancel() { sys::kernel().alarm(0); }
};

[[nodiscard]] bool write_whole(int fd, const unsigned char* bytes, size_t length, const char* dst) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = sys::kernel().write(fd, bytes + done, length - done);
        if (n < 0) {
            report_errno(dst, errno);
            return false;
        }
        if (n == 0) {
            err("ERROR:%s:Short write, giving up.\n", dst);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int copy_file(const char* src, const char* dst, size_t chunk, int sync, int create) {
    auto& k = sys::kernel();
    err("INFO:Copying %s to %s ...\n", src, dst);
    // Opening a device waits on it too.
    k.alarm(chunk_seconds);
    const alarm_cancel cancel;
    sys::unique_fd source(k.open(src, O_RDONLY));
    if (!source.valid()) {
        report_errno(src, errno);
        return 0;
    }
    GzSource content(source.get());

    long long size = -1;
    struct stat status {};
    if (k.fstat(source.get(), &status) == 0)
        size = status.st_size;
    else
        report_errno(src, errno);

    // A file that is created may also exist already: a longer one must not
    // keep its tail behind the copy. Devices are never truncated.
    const int flags = O_WRONLY | (sync ? O_SYNC : 0) | (create ? O_CREAT | O_TRUNC : 0);
    sys::unique_fd destination(k.open(dst, flags, 0666));
    if (!destination.valid()) {
        report_errno(dst, errno);
        return 0;
    }
    if (chunk == 0) chunk = 1048576;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[chunk]);
    if (!buffer) {
        report_errno("malloc()", ENOMEM);
        return 0;
    }

    unsigned long long copied = 0;
    for (;;) {
        // Each chunk, read and written, gets the watchdog's full time: a
        // device that stops answering restarts the reader, however long
        // the whole copy is.
        k.alarm(chunk_seconds);
        const long n = content.read(buffer.get(), chunk);
        if (n == 0) {
            k.sync();
            clear_bar();
            return 1;
        }
        if (n < 0) {
            k.sync();
            clear_bar();
            if (content.error_number() != 0)
                report_errno(src, content.error_number());
            else
                err("ERROR:%s:%s\n", src, content.message().c_str());
            return 0;
        }
        if (!write_whole(destination.get(), buffer.get(), static_cast<size_t>(n), dst)) return 0;
        copied += static_cast<unsigned long long>(n);
        out("\r%-10llu ", copied);
        const off_t position = size >= 0 ? k.lseek(source.get(), 0, SEEK_CUR) : -1;
        if (size >= 0 && position >= 0)
            draw_bar(40, static_cast<uint32_t>(position), static_cast<uint32_t>(size));
        else
            clear_bar();
    }
}

}  // namespace qm

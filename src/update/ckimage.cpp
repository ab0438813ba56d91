#include "update/ckimage.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "sys/console.h"
#include "sys/kernel.h"
#include "sys/read_full.h"
#include "sys/unique_fd.h"
#include "update/crc.h"

namespace qm {

namespace {

struct settings {
    bool quiet = false;
    int verbose = 0;
    bool filename = false;
};

settings config;

constexpr uint32_t uimage_magic = 0x27051956;
constexpr size_t uimage_header_size = 64;
constexpr size_t descriptor_read = 60;
constexpr size_t crc_field_end = 40;  // the descriptor's CRC sits at bytes 36..39
constexpr size_t read_piece = 16384;
constexpr uint8_t bootloader_magic[4] = {'B', 'M', 'G', 'K'};

const char* const os_names[] = {"Invalid", "OpenBSD", "NetBSD", "FreeBSD", "4_4BSD",  "Linux",   "Svr4",
                                "Esix",    "Solaris", "Irix",   "SCO",     "Dell",    "NCR",     "LynxOS",
                                "VxWorks", "PSOS",    "QNX",    "U-Boot",  "rtems",   "artos",   "Unity"};
const char* const arch_names[] = {"Invalid", "Alpha",   "ARM",   "i386",       "ia64",  "MIPS",     "MIPS64",
                                  "PowerPC", "s390",    "SH",    "Sparc",      "Sparc64", "m68k",   "nios",
                                  "Microblaze", "nios2", "blackfin", "avr32",  "st200"};
const char* const type_names[] = {"Invalid", "Stand-alone", "Kernel",     "Ramdisk",         "Multi",
                                  "Firmware", "Script",     "Filesystem", "Flat_Device_Tree"};
const char* const comp_names[] = {"None", "gzip", "bzip2"};

template <size_t N>
[[nodiscard]] const char* name_of(const char* const (&names)[N], unsigned code) {
    return code < N ? names[code] : "Unknown";
}

[[nodiscard]] uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

[[nodiscard]] uint32_t le32(const uint8_t* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

void put_le32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

void report_error(const char* what, int error_number) {
    if (!config.quiet) err("%s:%s\n", what, std::strerror(error_number));
}

void report_short(const char* path) { err("%s:short file\n", path); }

enum class crc_result { done, short_file, read_error };

// Runs the CRC register over the next count bytes of fd, a piece of the
// buffer at a time; errno holds the cause of a read error.
[[nodiscard]] crc_result crc_over(int fd, uint8_t* buffer, uint64_t count, uint32_t& reg) {
    while (count > 0) {
        const size_t want = count < read_piece ? static_cast<size_t>(count) : read_piece;
        const ssize_t n = sys::read_full(fd, buffer, want);
        if (n < 0) return crc_result::read_error;
        reg = crc32_calc(buffer, static_cast<size_t>(n), reg);
        if (static_cast<size_t>(n) < want) return crc_result::short_file;
        count -= want;
    }
    return crc_result::done;
}

std::unique_ptr<uint8_t[]> read_buffer() { return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[read_piece]); }

void dump_uimage(const char* path, const uint8_t* h) {
    if (config.filename) out("%s:\n", path);
    out("type=uimage\n");
    out("name='%.*s'\n", 32, reinterpret_cast<const char*>(h + 32));
    out("header_crc=%#x\n", be32(h + 4));
    out("size=%u\n", be32(h + 12));
    out("data_crc=%#x\n", be32(h + 24));
    out("time=%d\n", static_cast<int32_t>(be32(h + 8)));
    out("load=%#x\n", be32(h + 16));
    out("ep=%#x\n", be32(h + 20));
    out("os=%s (%x)\n", name_of(os_names, h[28]), h[28]);
    out("arch=%s (%u)\n", name_of(arch_names, h[29]), h[29]);
    out("type=%s (%u)\n", name_of(type_names, h[30]), h[30]);
    out("comp=%s (%u)\n", name_of(comp_names, h[31]), h[31]);
}

enum class uimage_verdict { intact, failed, not_uimage };

// Step one: is the object a uImage, and is it intact?
uimage_verdict check_uimage(int fd, const char* path, const char* label) {
    uint8_t header[uimage_header_size] = {};
    const ssize_t got = sys::read_full(fd, header, sizeof header);
    if (got < 0) {
        report_error(path, errno);
        return uimage_verdict::not_uimage;
    }
    if (got == 0) return uimage_verdict::not_uimage;
    if (be32(header) != uimage_magic) {
        if (config.verbose > 1) report_status(path, "Not a uImage file\n");
        return uimage_verdict::not_uimage;
    }
    uint8_t zeroed[uimage_header_size];
    std::memcpy(zeroed, header, sizeof zeroed);
    std::memset(zeroed + 4, 0, 4);
    if (~crc32_calc(zeroed, sizeof zeroed, 0xFFFFFFFF) != be32(header + 4)) {
        if (config.verbose != 0) report_status(path, "Bad header CRC\n");
        return uimage_verdict::not_uimage;
    }
    if (config.verbose > 3) dump_uimage(path, header);

    const auto buffer = read_buffer();
    if (!buffer) {
        report_error("malloc()", ENOMEM);
        report_status(path, "uImage FAILED : %s\n", label);
        return uimage_verdict::failed;
    }
    // The data follows the header; a header cut short by the end of the
    // object leaves nothing more to read, which ends in "short file".
    uint32_t reg = 0xFFFFFFFF;
    switch (crc_over(fd, buffer.get(), be32(header + 12), reg)) {
        case crc_result::read_error:
            report_error(path, errno);
            report_status(path, "uImage FAILED : %s\n", label);
            return uimage_verdict::failed;
        case crc_result::short_file:
            report_short(path);
            report_status(path, "uImage FAILED : %s\n", label);
            return uimage_verdict::failed;
        case crc_result::done: break;
    }
    if (~reg != be32(header + 24)) {
        report_status(path, "uImage FAILED : %s\n", label);
        return uimage_verdict::failed;
    }
    report_status(path, "uImage OK : %s\n", label);
    return uimage_verdict::intact;
}

// Step two: a boot loader with our descriptor. 1 intact, else 0.
[[nodiscard]] int check_bootloader(int fd, const char* path, const char* label) {
    uint8_t d[descriptor_read] = {};
    if (sys::kernel().lseek(fd, static_cast<off_t>(bootloader_descriptor_at), SEEK_SET) < 0) {
        report_error(path, errno);
        report_status(path, "check FAILED : %s\n", label);
        return 0;
    }
    const ssize_t got = sys::read_full(fd, d, sizeof d);
    if (got < 0) {
        report_error(path, errno);
        report_status(path, "check FAILED : %s\n", label);
        return 0;
    }
    if (got == 0) {
        report_status(path, "check FAILED : %s\n", label);
        return 0;
    }
    if (std::memcmp(d + 8, bootloader_magic, 4) != 0) {
        if (config.verbose != 0) report_status(path, "Not a u-boot file (bad magic)\n");
        report_status(path, "check FAILED : %s\n", label);
        return 0;
    }
    const uint32_t length = le32(d);
    const uint32_t stored = le32(d + 4);
    if (config.verbose > 3) {
        if (config.filename) out("%s:\n", path);
        out("type=u-boot\n");
        out("name='%.*s'\n", static_cast<int>(bootloader_name_size), reinterpret_cast<const char*>(d + 12));
        out("size=%u\n", length);
        out("data_crc=%#x\n", stored);
    }
    if (sys::kernel().lseek(fd, 0, SEEK_SET) < 0) {
        report_error(path, errno);
        report_status(path, "u-boot FAILED : %s\n", label);
        return 0;
    }
    const auto buffer = read_buffer();
    if (!buffer) {
        report_error("malloc()", ENOMEM);
        report_status(path, "u-boot FAILED : %s\n", label);
        return 0;
    }
    // The CRC was taken with its own field as zeros.
    uint32_t reg = 0xFFFFFFFF;
    crc_result result = crc_over(fd, buffer.get(), bootloader_descriptor_at + 4, reg);
    if (result == crc_result::done) {
        uint8_t field[4];
        const ssize_t n = sys::read_full(fd, field, sizeof field);
        if (n < 0) result = crc_result::read_error;
        else if (n < 4) result = crc_result::short_file;
        else {
            const uint8_t zeros[4] = {};
            reg = crc32_calc(zeros, sizeof zeros, reg);
        }
    }
    if (result == crc_result::done && length > crc_field_end)
        result = crc_over(fd, buffer.get(), length - crc_field_end, reg);
    switch (result) {
        case crc_result::read_error:
            report_error(path, errno);
            report_status(path, "u-boot FAILED : %s\n", label);
            return 0;
        case crc_result::short_file:
            report_short(path);
            report_status(path, "u-boot FAILED : %s\n", label);
            return 0;
        case crc_result::done: break;
    }
    const uint32_t computed = ~reg;
    if (config.verbose > 3 && !config.quiet) err("%s:crc=%#x calculated=%#x\n", path, stored, computed);
    if (computed != stored) {
        report_status(path, "u-boot FAILED : %s\n", label);
        return 0;
    }
    report_status(path, "u-boot OK : %s\n", label);
    return 1;
}

}  // namespace

void ckimage_state_reset() { config = {}; }

void ckimage_configure(int verbose, int filename, int quiet) {
    config.quiet = quiet != 0;
    config.verbose = quiet != 0 ? 0 : verbose;
    config.filename = filename != 0;
}

void report_status(const char* path, const char* format, ...) {
    if (config.quiet) return;
    va_list args;
    va_start(args, format);
    char text[256];
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(text, sizeof text, format, args);
    std::string line;
    if (length >= 0 && static_cast<size_t>(length) >= sizeof text) {
        line.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(line.data(), line.size(), format, again);
        line.resize(static_cast<size_t>(length));
    } else if (length >= 0) {
        line.assign(text, static_cast<size_t>(length));
    }
    va_end(again);
    va_end(args);
    // One write per line, so the path and its text stay together.
    if (config.filename) err("%s:%s", path, line.c_str());
    else err("%s", line.c_str());
}

int check_object_file(int fd, const char* path, const char* label) {
    if (!label) label = "";
    switch (check_uimage(fd, path, label)) {
        case uimage_verdict::intact: return 1;
        case uimage_verdict::failed: return 0;
        case uimage_verdict::not_uimage: break;
    }
    return check_bootloader(fd, path, label);
}

int check_object(const char* path, const char* label) {
    sys::unique_fd fd(sys::kernel().open(path, O_RDONLY, 0));
    if (!fd.valid()) {
        report_error(path, errno);
        return 0;
    }
    return check_object_file(fd.get(), path, label);
}

int ckimage_seal_bootloader(std::span<uint8_t> image, const char* name) {
    if (image.size() < bootloader_descriptor_end || image.size() > UINT32_MAX) return 0;
    const size_t name_length = name ? std::strlen(name) : 0;
    if (name_length > bootloader_name_size) return 0;
    uint8_t* d = image.data() + bootloader_descriptor_at;
    put_le32(d, static_cast<uint32_t>(image.size()));
    put_le32(d + 4, 0);
    std::memcpy(d + 8, bootloader_magic, 4);
    if (name) {
        std::memset(d + 12, 0, bootloader_name_size);
        std::memcpy(d + 12, name, name_length);
    }
    put_le32(d + 4, ~crc32_calc(image.data(), image.size(), 0xFFFFFFFF));
    return 1;
}

}  // namespace qm

// qmpicture: converts between PNG files and the compressed packed-pixel
// pictures the device program carries, and turns compressed pictures into
// C++ sources for embedding.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "codec.h"
#include "display/egl_image.h"
#include "png_io.h"
#include "sys/kernel.h"
#include "sys/linux_kernel.h"

namespace {

constexpr const char* usage =
    "usage:\n"
    "  qmpicture encode [--bpp N] [--padding 8|16|32] [--big-endian] IN.png OUT\n"
    "  qmpicture decode [--padding 8|16|32] [--big-endian] IN OUT.png\n"
    "  qmpicture embed OUT.cpp NAME=FILE...\n"
    "\n"
    "encode turns a PNG into a compressed picture (default 2 bits per pixel,\n"
    "rows padded to whole bytes, little-endian header); white is paper and\n"
    "black full ink. decode is the reverse. embed writes the compressed\n"
    "pictures as byte arrays NAME[] with their lengths NAME_len.\n";

int fail(const std::string& message) {
    std::fprintf(stderr, "qmpicture: %s\n", message.c_str());
    return 1;
}

// Reads a whole regular file; false with the reason in error.
bool read_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = "cannot read " + path + ": not a regular file";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) bytes.insert(bytes.end(), buffer, buffer + n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) error = "cannot read " + path;
    return !failed;
}

// Writes an output through a temporary file beside it that takes its name
// only once complete: a full disk or any other failure leaves no partial
// output behind (and an older one as it was). write gets the temporary
// path; false with the reason in error.
bool publish(const std::string& path, const std::function<bool(const std::string&, std::string&)>& write,
             std::string& error) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the output gets the usual mode.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    if (!write(temporary, error) || ::rename(temporary.c_str(), path.c_str()) != 0) {
        if (error.empty()) error = "cannot write " + path + ": " + std::strerror(errno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool write_file(const std::string& path, const std::string& bytes, std::string& error) {
    return publish(
        path,
        [&](const std::string& temporary, std::string& reason) {
            std::FILE* file = std::fopen(temporary.c_str(), "wb");
            if (file == nullptr) {
                reason = "cannot write " + path + ": " + std::strerror(errno);
                return false;
            }
            const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
            const int write_error = errno;
            const bool closed = std::fclose(file) == 0;
            if (!written || !closed) {
                reason = "cannot write " + path + ": " + std::strerror(written ? errno : write_error);
                return false;
            }
            return true;
        },
        error);
}

// Options shared by encode and decode; returns the remaining arguments.
bool parse_options(const std::vector<std::string>& args, unsigned& bpp, uint32_t& flags,
                   std::vector<std::string>& rest, std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--big-endian") {
            flags |= qm::egl_flag_big_endian;
        } else if (arg == "--bpp" || arg == "--padding") {
            if (i + 1 >= args.size()) {
                error = arg + " needs a value";
                return false;
            }
            const std::string& value = args[++i];
            if (arg == "--bpp") {
                if (value != "1" && value != "2" && value != "4" && value != "8") {
                    error = "bits per pixel must be 1, 2, 4 or 8";
                    return false;
                }
                bpp = static_cast<unsigned>(std::stoul(value));
            } else if (value == "8") {
                flags = (flags & ~qm::egl_padding_mask) | qm::egl_padding_8;
            } else if (value == "16") {
                flags = (flags & ~qm::egl_padding_mask) | qm::egl_padding_16;
            } else if (value == "32") {
                flags = (flags & ~qm::egl_padding_mask) | qm::egl_padding_32;
            } else {
                error = "padding must be 8, 16 or 32 bits";
                return false;
            }
        } else if (arg.rfind("--", 0) == 0) {
            error = "unknown option " + arg;
            return false;
        } else {
            rest.push_back(arg);
        }
    }
    return true;
}

int encode_command(const std::vector<std::string>& args) {
    unsigned bpp = 2;
    uint32_t flags = 0;
    std::vector<std::string> files;
    std::string error;
    if (!parse_options(args, bpp, flags, files, error)) return fail(error);
    if (files.size() != 2) return fail(std::string("encode needs IN.png and OUT\n") + usage);
    picture::GrayImage image;
    std::vector<uint8_t> packed;
    if (!picture::read_png(files[0], image, error)) return fail(error);
    if (!picture::encode_picture(image, bpp, flags, packed, error)) return fail(files[0] + ": " + error);
    if (!write_file(files[1], std::string(packed.begin(), packed.end()), error)) return fail(error);
    return 0;
}

int decode_command(const std::vector<std::string>& args) {
    unsigned bpp = 0;
    uint32_t flags = 0;
    std::vector<std::string> files;
    std::string error;
    if (!parse_options(args, bpp, flags, files, error)) return fail(error);
    if (bpp != 0) return fail("decode reads the depth from the picture; --bpp does not apply");
    if (files.size() != 2) return fail(std::string("decode needs IN and OUT.png\n") + usage);
    std::vector<uint8_t> data;
    if (!read_file(files[0], data, error)) return fail(error);
    picture::GrayImage image;
    if (!picture::decode_picture(data, flags, image, bpp, error)) return fail(files[0] + ": " + error);
    const auto write_png = [&](const std::string& temporary, std::string& reason) {
        return picture::write_png(temporary, image, reason);
    };
    if (!publish(files[1], write_png, error)) return fail(error);
    return 0;
}

bool is_identifier(const std::string& name) {
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
    for (const char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
    return true;
}

int embed_command(const std::vector<std::string>& args) {
    if (args.size() < 2) return fail(std::string("embed needs OUT.cpp and NAME=FILE\n") + usage);
    std::string text =
        "// Made by qmpicture embed at build time from the artwork in assets/.\n"
        "#include \"display/pictures.h\"\n\nnamespace qm {\n";
    // Each picture defines NAME and NAME_len: no two may share a name.
    std::set<std::string> defined;
    std::string error;
    for (size_t i = 1; i < args.size(); ++i) {
        const auto equals = args[i].find('=');
        const std::string name = args[i].substr(0, equals);
        if (equals == std::string::npos || !is_identifier(name)) return fail("bad NAME=FILE '" + args[i] + "'");
        if (!defined.insert(name).second || !defined.insert(name + "_len").second)
            return fail("the name " + name + " is used twice");
        const std::string path = args[i].substr(equals + 1);
        std::vector<uint8_t> data;
        if (!read_file(path, data, error)) return fail(error);
        if (data.empty()) return fail(path + " is empty");
        text += "\nextern const uint8_t " + name + "[] = {";
        for (size_t j = 0; j < data.size(); ++j) {
            if (j % 16 == 0) text += "\n   ";
            char byte[8];
            std::snprintf(byte, sizeof byte, " %u,", data[j]);
            text += byte;
        }
        text += "\n};\nextern const size_t " + name + "_len = " + std::to_string(data.size()) + ";\n";
    }
    text += "\n}  // namespace qm\n";
    if (!write_file(args[0], text, error)) return fail(error);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // The program's loader reports through the kernel seam.
    static sys::LinuxKernel host;
    sys::install(host);
    const std::vector<std::string> args(argv + std::min(argc, 2), argv + argc);
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "encode") return encode_command(args);
    if (command == "decode") return decode_command(args);
    if (command == "embed") return embed_command(args);
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("qmpicture (quillmar) %s\n", QM_VERSION);
        return 0;
    }
    std::fputs(usage, stderr);
    return 2;
}

// qmpicture: converts between PNG files and the compressed packed-pixel
// pictures the device program carries, and turns compressed pictures into
// C++ sources for embedding.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
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

bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    file.close();
    return file.good();
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
    if (!write_file(files[1], std::string(packed.begin(), packed.end()))) return fail("cannot write " + files[1]);
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
    if (!read_file(files[0], data)) return fail("cannot read " + files[0]);
    picture::GrayImage image;
    if (!picture::decode_picture(data, flags, image, bpp, error)) return fail(files[0] + ": " + error);
    if (!picture::write_png(files[1], image, error)) return fail(error);
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
    for (size_t i = 1; i < args.size(); ++i) {
        const auto equals = args[i].find('=');
        const std::string name = args[i].substr(0, equals);
        if (equals == std::string::npos || !is_identifier(name)) return fail("bad NAME=FILE '" + args[i] + "'");
        const std::string path = args[i].substr(equals + 1);
        std::vector<uint8_t> data;
        if (!read_file(path, data) || data.empty()) return fail("cannot read " + path);
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
    if (!write_file(args[0], text)) return fail("cannot write " + args[0]);
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

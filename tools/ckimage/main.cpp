// ckimage: checks kernel (uImage) and boot-loader images as the device does,
// and writes boot-loader images with a valid descriptor.
//
//   ckimage [-v LEVEL] [-f] [-q] FILE...
//   ckimage --make-bootloader [-n NAME] IN OUT
//
// Exit status: 0 when every FILE is intact (or OUT was written), 1 when one
// is not (or OUT could not be made), 2 for a usage error.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "make_bootloader.h"
#include "sys/console.h"
#include "sys/linux_kernel.h"
#include "update/ckimage.h"

namespace {

constexpr int usage_error = 2;

// The help text; on the standard output when asked for, else with status 2.
int usage(bool asked = false) {
    const char* text =
        "usage: ckimage [-v LEVEL] [-f] [-q] FILE...\n"
        "       ckimage --make-bootloader [-n NAME] IN OUT\n"
        "  -v LEVEL  1: name bad header CRCs and missing descriptors, 2: also files that are no uImage,\n"
        "            4: also dump the headers and the boot-loader CRCs\n"
        "  -f        put the file name before every line\n"
        "  -q        print nothing but \"short file\"; only the exit status tells\n"
        "  --make-bootloader  write IN to OUT with a valid boot-loader descriptor (at bytes 32 to 91);\n"
        "            -n NAME sets its name (at most 48 characters), else the name bytes of IN are kept\n"
        "Exit status: 0 all intact (or OUT written), 1 not, 2 usage error.\n";
    if (asked) {
        qm::out("%s", text);
        return 0;
    }
    qm::err("%s", text);
    return usage_error;
}

bool parse_level(const char* text, int& level) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || value < -1000 || value > 1000) return false;
    level = static_cast<int>(value);
    return true;
}

int make_bootloader_command(int argc, char** argv) {
    const char* name = nullptr;
    int i = 2;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-n" && i + 1 < argc) name = argv[++i];
        else if (arg == "--") {
            ++i;
            break;
        } else if (arg.size() > 1 && arg[0] == '-') return usage();
        else break;
    }
    if (argc - i != 2) return usage();
    if (name && std::strlen(name) > qm::bootloader_name_size) {
        qm::err("ckimage: name longer than %zu characters: %s\n", qm::bootloader_name_size, name);
        return usage_error;
    }
    return ckimage::make_bootloader(argv[i], argv[i + 1], name);
}

int check_command(int argc, char** argv) {
    int verbose = 0, filename = 0, quiet = 0;
    int i = 1;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-v") {
            if (i + 1 >= argc || !parse_level(argv[++i], verbose)) return usage();
        } else if (arg.starts_with("-v") && arg.size() > 2) {
            if (!parse_level(argv[i] + 2, verbose)) return usage();
        } else if (arg == "-f") filename = 1;
        else if (arg == "-q") quiet = 1;
        else if (arg == "--") {
            ++i;
            break;
        } else if (arg.size() > 1 && arg[0] == '-') return usage();
        else break;
    }
    if (i >= argc) return usage();
    qm::ckimage_configure(verbose, filename, quiet);
    int status = 0;
    for (; i < argc; ++i)
        if (!qm::check_object(argv[i], argv[i])) status = 1;
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    static sys::LinuxKernel linux_kernel;
    sys::install(linux_kernel);
    if (argc > 1 && (std::string_view(argv[1]) == "-h" || std::string_view(argv[1]) == "--help")) {
        return usage(true);
    }
    if (argc > 1 && std::string_view(argv[1]) == "--version") {
        qm::out("ckimage (quillmar) %s\n", QM_VERSION);
        return 0;
    }
    if (argc > 1 && std::string_view(argv[1]) == "--make-bootloader") return make_bootloader_command(argc, argv);
    return check_command(argc, argv);
}

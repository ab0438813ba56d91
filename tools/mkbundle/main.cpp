// mkbundle: the host tool for update bundles.
#include <cstring>
#include <string>

#include "commands.h"
#include "sys/console.h"
#include "sys/linux_kernel.h"

namespace {

constexpr const char* usage =
    "usage: mkbundle keygen --bits 1024|2048 --out KEY.pem\n"
    "       mkbundle create --out FILE [--family selda|orvik] [--key KEY.pem]... [--ota] NAME=PATH...\n"
    "       mkbundle list [--family selda|orvik] FILE\n"
    "       mkbundle verify [--family selda|orvik] FILE\n"
    "       mkbundle extract FILE DIR\n";

}  // namespace

int main(int argc, char** argv) {
    static sys::LinuxKernel kernel;
    sys::install(kernel);
    if (argc < 2) {
        qm::err("%s", usage);
        return 2;
    }
    const std::string command = argv[1];
    const mkbundle::args rest(argv + 2, argv + argc);
    if (command == "keygen") return mkbundle::keygen(rest);
    if (command == "create") return mkbundle::create(rest);
    if (command == "list") return mkbundle::list(rest);
    if (command == "verify") return mkbundle::verify(rest);
    if (command == "extract") return mkbundle::extract(rest);
    if (command == "--help" || command == "-h" || command == "help") {
        qm::out("%s", usage);
        return 0;
    }
    qm::err("mkbundle: unknown command '%s'\n%s", command.c_str(), usage);
    return 2;
}

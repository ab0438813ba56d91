// mkbundle: the host tool for update bundles.
#include <cstring>
#include <string>

#include "commands.h"
#include "sys/console.h"
#include "terminal_lines.h"

namespace {

constexpr const char* usage =
    "usage: mkbundle keygen --bits 1024|2048 --out KEY.pem\n"
    "       mkbundle create --out FILE [--family selda|orvik] [SIGNER]... [--ota] NAME=PATH...\n"
    "                       [--nor-kernel BYTES] [--nor-bootloader BYTES]   (orvik: 3M, 256K)\n"
    "       mkbundle list [--family selda|orvik] [--json] FILE\n"
    "       mkbundle verify [--family selda|orvik] [--json] [--pubkey KEY.pub.pem]... FILE\n"
    "       mkbundle extract FILE DIR\n"
    "       mkbundle --help | --version\n"
    "Signers of create (at most two; they take turns over the images):\n"
    "  --key KEY.pem                      a private key file\n"
    "  --key 'pkcs11:token=T;object=K'    a key in a PKCS#11 module: --pkcs11-module PATH,\n"
    "                                     the PIN from MKBUNDLE_PKCS11_PIN or --pin-file FILE\n"
    "  --sign-command CMD --sign-pubkey KEY.pub.pem\n"
    "                                     a command reading the image's SHA-256 digest (with\n"
    "                                     --sign-input data: the image) on its standard input and\n"
    "                                     writing the raw signature; --sign-timeout SECONDS (300)\n"
    "Without a signer, the development key 1 signs.\n"
    "--json: one JSON document on the standard output, the device's transcript on the\n"
    "standard error stream. --pubkey: check against the keys of another device build.\n"
    "Exit status: 0 success, 1 failure (verify: not authorised), 2 usage error.\n";

}  // namespace

int main(int argc, char** argv) {
    static mkbundle::TerminalLinesKernel kernel;
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
    if (command == "--version") {
        qm::out("mkbundle (quillmar) %s\n", QM_VERSION);
        return 0;
    }
    qm::err("mkbundle: unknown command '%s'\n%s", command.c_str(), usage);
    return 2;
}

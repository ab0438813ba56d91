// PKCS#11 keys in a build without them: a module is a shared library, which
// a statically linked program (the cross build's) cannot load.
#include "pkcs11_signer.h"

namespace mkbundle {

std::unique_ptr<signer> open_pkcs11_key(const std::string& uri, signer_options&, std::string& error) {
    error = uri + ": this mkbundle was built without PKCS#11 support";
    return nullptr;
}

}  // namespace mkbundle

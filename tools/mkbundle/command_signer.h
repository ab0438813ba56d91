// Signing through an outside command, so that any signing service fits: the
// command line runs under /bin/sh -c, gets the image's SHA-256 digest (32
// bytes) or, with --sign-input data, the image itself on its standard input,
// and writes the raw PKCS#1 v1.5 SHA-256 signature on its standard output.
// MKBUNDLE_MEMBER and MKBUNDLE_SHA256 (hexadecimal) in its environment say
// what it signs. Its standard error stream is the tool's own.
#pragma once

#include <memory>
#include <string>

#include "signer.h"

namespace mkbundle {

// The signer for the command, whose signatures must verify under the public
// key in public_key_file (1024 or 2048 bits). Null with a one-line reason.
std::unique_ptr<signer> open_command_signer(const std::string& command, const std::string& public_key_file,
                                            const signer_options& options, std::string& error);

}  // namespace mkbundle

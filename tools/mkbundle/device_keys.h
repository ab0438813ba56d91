// The two public keys a device build embeds, as `mkbundle verify` checks a
// bundle against them: this build's own, or those named with --pubkey.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "key_files.h"

namespace mkbundle {

struct device_keys {
    // Key 1 (1024 bits) and key 2 (2048 bits); an empty key takes no part.
    std::array<rsa_public, 2> keys;
    std::array<std::string, 2> sources;  // "built-in" or the file it came from

    std::array<qm::public_key, 2> view() const { return {keys[0].view(), keys[1].view()}; }
};

// The keys this program was built with.
device_keys builtin_device_keys();

// The keys of the files, each in the place its size gives it in a device
// build (1024 bits: key 1, 2048 bits: key 2), with the build's rules: RSA,
// one key per place, public exponent below 2^24. False with a reason.
bool device_keys_from_files(const std::vector<std::string>& files, device_keys& out, std::string& error);

}  // namespace mkbundle

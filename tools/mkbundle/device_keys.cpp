#include "device_keys.h"

namespace mkbundle {

device_keys builtin_device_keys() {
    device_keys set;
    const auto builtin = qm::builtin_keys();
    for (size_t i = 0; i < set.keys.size() && i < builtin.size(); ++i) {
        set.keys[i] = rsa_public_from(builtin[i].mod, builtin[i].exp);
        set.sources[i] = "built-in";
    }
    return set;
}

bool device_keys_from_files(const std::vector<std::string>& files, device_keys& out, std::string& error) {
    device_keys set;
    for (const std::string& file : files) {
        rsa_public key;
        if (!read_rsa_public(file, key, error)) return false;
        const size_t bits = key.bits();
        if (bits != 1024 && bits != 2048) {
            error = file + ": an RSA key of " + std::to_string(bits) +
                    " bits; a device build embeds a 1024-bit key 1 and a 2048-bit key 2";
            return false;
        }
        if (key.exp.size() > 3) {
            error = file + ": the public exponent does not fit in the 3 bytes a device build keeps";
            return false;
        }
        const size_t place = bits == 1024 ? 0 : 1;
        if (!set.keys[place].empty()) {
            error = file + ": a second " + std::to_string(bits) + "-bit key (after " + set.sources[place] +
                    "); a device build embeds one key of each size";
            return false;
        }
        set.keys[place] = std::move(key);
        set.sources[place] = file;
    }
    out = std::move(set);
    return true;
}

}  // namespace mkbundle

// Bytes as lower-case hexadecimal, the way digests and fingerprints are shown.
#pragma once

#include <string>
#include <string_view>

namespace mkbundle {

inline std::string hex_text(std::string_view bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * bytes.size());
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

inline std::string hex_text(const unsigned char* bytes, size_t length) {
    return hex_text(std::string_view(reinterpret_cast<const char*>(bytes), length));
}

}  // namespace mkbundle

#include "sim/web_text.h"

#include <cstdio>

namespace sim {

namespace {

// Length of the well-formed UTF-8 sequence at the start of text that
// encodes one character above 0x7f (no overlong forms, no surrogates), or 0.
size_t utf8_sequence(std::string_view text) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0xc2 || lead > 0xf4) return 0;
    const size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    uint32_t code = lead & (0x7fu >> length);
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
        code = code << 6 | (byte(i) & 0x3f);
    }
    const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < smallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

}  // namespace

std::string html_text(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const size_t length = c >= 0x80 ? utf8_sequence(bytes.substr(i)) : 0;
        if (length > 0) {
            text += bytes.substr(i, length);
            i += length;
            continue;
        }
        switch (c) {
            case '&': text += "&amp;"; break;
            case '<': text += "&lt;"; break;
            case '>': text += "&gt;"; break;
            case '"': text += "&quot;"; break;
            default:
                if (c == '\t' || (c >= 0x20 && c < 0x7f)) {
                    text += static_cast<char>(c);
                } else {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02x", c);
                    text += hex;
                }
        }
        ++i;
    }
    return text;
}

std::string base64(std::span<const uint8_t> bytes) {
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        const uint32_t group = uint32_t {bytes[i]} << 16 | (left > 1 ? uint32_t {bytes[i + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t {bytes[i + 2]} : 0);
        text += digits[group >> 18 & 63];
        text += digits[group >> 12 & 63];
        text += left > 1 ? digits[group >> 6 & 63] : '=';
        text += left > 2 ? digits[group & 63] : '=';
    }
    return text;
}

}  // namespace sim

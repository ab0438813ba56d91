#include "json_report.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace mkbundle {

namespace {

// Length of the valid UTF-8 sequence at the start of bytes, 0 when it is
// not one (overlong forms, surrogates and code points above U+10FFFF are not).
size_t utf8_sequence(std::string_view bytes) {
    const auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (bytes.size() < length || at(1) < low || at(1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return length;
}

std::string member_json(const listed_member& m) {
    return "{\"name\": " + json_string(m.name) + ", \"size\": " + std::to_string(m.size) +
           ", \"type\": " + json_string(m.type) + ", \"sha256\": " + json_string(m.sha256) +
           ", \"md5\": " + json_string(m.md5) + "}";
}

// The fields both documents begin with, up to and including the members.
std::string common_json(const bundle_report& report) {
    std::string text = "{\n  \"schema\": 1,\n  \"command\": " + json_string(report.command) +
                       ",\n  \"bundle\": " + json_string(report.bundle) + ",\n  \"family\": " +
                       json_string(report.family) + ",\n  \"complete\": " + (report.complete ? "true" : "false") +
                       ",\n  \"members\": [";
    const char* separator = "\n    ";
    for (const listed_member& m : report.members) {
        if (m.sha256.empty()) continue;  // cut short by the failure reported on the console
        text += separator + member_json(m);
        separator = ",\n    ";
    }
    text += report.members.empty() ? "]" : "\n  ]";
    return text;
}

const char* image_verdict(const qm::image_check& check, int key) {
    if (check.members > 1) return "several images";
    if (!check.present) return "missing";
    return key != 0 ? "signed" : "signature failed";
}

}  // namespace

std::string json_string(std::string_view bytes) {
    std::string text = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const size_t length = utf8_sequence(bytes.substr(i));
        if (length == 0) {
            text += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            text.append(bytes.substr(i, length));
        } else if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            text += escaped;
        } else {
            text += static_cast<char>(c);
        }
        i += length;
    }
    return text + "\"";
}

std::string list_json(const bundle_report& report) { return common_json(report) + "\n}\n"; }

std::string verify_json(const bundle_report& report, const verdict_report& verdict) {
    std::string text = common_json(report) + ",\n  \"keys\": [";
    const char* separator = "\n    ";
    for (size_t i = 0; verdict.keys != nullptr && i < verdict.keys->keys.size(); ++i) {
        const rsa_public& key = verdict.keys->keys[i];
        if (key.empty()) continue;
        text += separator;
        text += "{\"key\": " + std::to_string(i + 1) + ", \"bits\": " + std::to_string(key.bits()) +
                ", \"source\": " + json_string(verdict.keys->sources[i]) +
                ", \"fingerprint\": " + json_string(fingerprint(key)) + "}";
        separator = ",\n    ";
    }
    text += "\n  ],\n  \"images\": ";
    if (!verdict.made) {
        text += "null";
    } else {
        text += "[";
        for (int type = 0; type < qm::image_type_count; ++type) {
            const qm::image_check& check = verdict.checks[type];
            const int key = verdict.signed_by[type];
            text += type == 0 ? "\n    " : ",\n    ";
            text += "{\"type\": " + json_string(qm::bundle_info_name(type)) +
                    ", \"present\": " + (check.present ? "true" : "false") +
                    ", \"image_members\": " + std::to_string(check.members) +
                    ", \"signature_length\": " + std::to_string(check.sig_len) +
                    ", \"key\": " + (key != 0 ? std::to_string(key) : "null") +
                    ", \"verdict\": " + json_string(image_verdict(check, key)) + "}";
        }
        text += "\n  ]";
    }
    text += ",\n  \"authorised\": ";
    text += verdict.authorised ? "true" : "false";
    return text + "\n}\n";
}

json_output::json_output() {
    saved_ = ::dup(STDOUT_FILENO);
    if (saved_ >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
}

json_output::~json_output() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
}

bool json_output::write(const std::string& document) {
    const int fd = saved_ >= 0 ? saved_ : STDOUT_FILENO;
    size_t done = 0;
    while (done < document.size()) {
        const ssize_t n = ::write(fd, document.data() + done, document.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace mkbundle
